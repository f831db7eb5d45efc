// Per-thread state of the library without __tls_get_addr.
//
// libqobl is a shared library, so a plain thread_local in it uses the general-dynamic TLS model: every
// access calls __tls_get_addr.  The run path reads its per-thread state several times per input and per
// report, so that state is declared QOBL_THREAD_LOCAL (the initial-exec model: one load relative to the
// thread pointer).  Initial-exec TLS of a library loaded with dlopen (the Python module loads libqobl that
// way) comes from the small static TLS reserve of the process, so it is kept to a few pointers and flags:
// larger per-thread objects (scratch lists) are reached through PerThread<T>, whose only initial-exec part
// is a pointer.
#ifndef QOBL_PER_THREAD_H
#define QOBL_PER_THREAD_H

#define QOBL_THREAD_LOCAL __attribute__((tls_model("initial-exec"))) thread_local

namespace zenlar {
namespace qobl {

// The calling thread's T, made (value-initialised) on the thread's first get() and destroyed when the
// thread exits (so not for use from the destructors of other thread-local objects).  Each use site has its
// own T (a type made for it), so that sites never share an object.  Reached through one initial-exec
// pointer; the object itself lives in ordinary TLS, touched only by the first get() of a thread.
template <typename T>
class PerThread {
 public:
  static T& get() {
    T* object = current_;
    return object != nullptr ? *object : make();
  }

 private:
  struct Owner {
    T object{};
    ~Owner() { current_ = nullptr; }
  };
  [[gnu::noinline]] static T& make() {
    thread_local Owner owner;
    current_ = &owner.object;
    return owner.object;
  }
  static QOBL_THREAD_LOCAL T* current_;
};

template <typename T>
QOBL_THREAD_LOCAL T* PerThread<T>::current_ = nullptr;

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_PER_THREAD_H
