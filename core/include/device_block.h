// DeviceBlock: the owner of one block of card memory (device, memory kind, address).
//
// A block is allocated with DeviceBlock::allocate, or adopted from an address another component made for us
// (the op engine's configuration blocks).  It is move-only and frees itself exactly once: when it is
// destroyed, reset, or assigned over.  The free goes through the matching qobcrt_free_* call on the block's
// device; a failed free is logged at ERROR (and not retried: the card refuses a second free of a block).
// An empty block (address 0) frees nothing.
//
// Every device allocation of the library that outlives one call is held by a DeviceBlock: argument arrays,
// op outputs, configuration blocks, a run's op records and a model's pre-processing configuration.  So
// ownership is visible in the types, and a container of blocks releases each once, in any failure path.
//
// Pooling: a block can be kept (moved into a pool) and handed out again instead of freed and reallocated;
// release() gives up ownership without freeing for a holder that hands the address on.
//
// Threads: a block has no lock; its holder serialises use.
#ifndef QOBL_DEVICE_BLOCK_H
#define QOBL_DEVICE_BLOCK_H

#include <qobcrt/qobcrt.h>

#include <cstdint>

namespace zenlar {
namespace qobl {

// The card's memory kinds (all from the device runtime).
enum class DeviceMemKind : uint32_t {
  kStream = 0,    // argument arrays, op records, configuration blocks
  kInout = 1,     // outputs of run-model ops and of ops feeding a run-model op
  kDdrShare = 2,  // other non-leaf outputs, working buffers
};

class DeviceBlock {
 public:
  DeviceBlock() = default;
  // Adopts a block made by someone else for us; it is freed with the call of `kind`.
  DeviceBlock(uint32_t device, DeviceMemKind kind, uint64_t address) noexcept
      : device_(device), kind_(kind), address_(address) {}
  ~DeviceBlock() { reset(); }

  DeviceBlock(DeviceBlock&& other) noexcept : device_(other.device_), kind_(other.kind_), address_(other.address_) {
    other.address_ = 0;
  }
  DeviceBlock& operator=(DeviceBlock&& other) noexcept {
    if (this != &other) {
      reset();
      device_ = other.device_;
      kind_ = other.kind_;
      address_ = other.address_;
      other.address_ = 0;
    }
    return *this;
  }
  DeviceBlock(const DeviceBlock&) = delete;
  DeviceBlock& operator=(const DeviceBlock&) = delete;

  // Allocates `size` bytes of `kind` on `device` into *out (freeing what *out held).  Returns the device
  // runtime's code; *out stays empty on failure.
  // Inline: a run makes a few, and a call here adds a good part of the card call's own cost.
  static int allocate(uint32_t device, DeviceMemKind kind, uint64_t size, DeviceBlock* out) {
    out->reset();
    uint64_t addr = 0;
    int rc = rtErrInvalidParam;
    switch (kind) {
      case DeviceMemKind::kStream: rc = qobcrt_malloc_stream(device, 0, size, &addr); break;
      case DeviceMemKind::kInout: rc = qobcrt_malloc_inout(device, 0, size, &addr); break;
      case DeviceMemKind::kDdrShare: rc = qobcrt_malloc_ddr_share(device, 0, size, &addr); break;
    }
    if (rc == rtSuccess) {
      // *out is empty since the reset above: the new block goes in without a second release.
      out->device_ = device;
      out->kind_ = kind;
      out->address_ = addr;
    }
    return rc;
  }

  uint64_t address() const { return address_; }
  uint32_t device() const { return device_; }
  DeviceMemKind kind() const { return kind_; }
  explicit operator bool() const { return address_ != 0; }

  // Frees the block now (a failed free is logged); the block is empty afterwards.  Returns the free's code
  // (0 for an empty block; that check is inline, as blocks are moved and emptied far more often than freed).
  int reset() noexcept { return address_ == 0 ? 0 : freeNow(); }
  // Gives up ownership without freeing; returns the address.
  uint64_t release() noexcept {
    const uint64_t a = address_;
    address_ = 0;
    return a;
  }

 private:
  int freeNow() noexcept;

  uint32_t device_ = 0;
  DeviceMemKind kind_ = DeviceMemKind::kStream;
  uint64_t address_ = 0;
};

// Name of the free call of a kind ("qobcrt_free_stream", ...).
const char* freeCallName(DeviceMemKind kind);

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_DEVICE_BLOCK_H
