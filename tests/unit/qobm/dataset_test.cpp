// Datasets, data buffers and tensors: entries are shared between datasets, every misuse is answered
// with a code and leaves out-parameters alone.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "qobm/qobm.h"

namespace {

const qobmDeviceInfo kHost{qobmDE_CPU, 0};
const qobmDeviceInfo kCard{qobmDE_QOBC, 0};

TEST(QobmDataset, ClonedBufferDatasetSharesEntriesAndOutlivesItsSource) {
  std::vector<uint8_t> host(300);
  std::vector<qobmDataBuffer*> bufs(3);
  qobmDataset* ds = nullptr;
  qobmDataset* copy = nullptr;
  ASSERT_EQ(qobmCreateDataset(qobmDM_BUFFER, &ds), 0);
  ASSERT_EQ(qobmCreateDataset(qobmDM_BUFFER, &copy), 0);
  for (uint32_t i = 0; i < 3; ++i) {
    const uint64_t addr = reinterpret_cast<uint64_t>(host.data() + 100 * i);
    ASSERT_EQ(qobmCreateDataBuffer(i == 1 ? kCard : kHost, addr, 10 + i, &bufs[i]), 0);
    ASSERT_EQ(qobmAddDatasetBuffer(ds, bufs[i]), 0);
    qobmDataBuffer* b = nullptr;
    ASSERT_EQ(qobmGetDatasetBuffer(ds, i, &b), 0);
    ASSERT_EQ(qobmAddDatasetBuffer(copy, b), 0);
  }
  ASSERT_EQ(qobmDestroyDataset(ds), 0);  // the container only: the entries stay usable through the copy
  uint32_t count = 0;
  ASSERT_EQ(qobmGetDatasetBufferCount(copy, &count), 0);
  ASSERT_EQ(count, 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    qobmDataBuffer* b = nullptr;
    uint64_t addr = 0, size = 0;
    qobmDeviceInfo info{};
    ASSERT_EQ(qobmGetDatasetBuffer(copy, i, &b), 0);
    ASSERT_EQ(b, bufs[i]);
    ASSERT_EQ(qobmGetDataBufferAddr(b, &addr), 0);
    ASSERT_EQ(qobmGetDataBufferSize(b, &size) | qobmGetDataBufferDeviceInfo(b, &info), 0);
    EXPECT_EQ(addr, reinterpret_cast<uint64_t>(host.data() + 100 * i));
    EXPECT_EQ(size, 10u + i);
    EXPECT_EQ(info.dev, i == 1 ? qobmDE_QOBC : qobmDE_CPU);
  }
  EXPECT_EQ(qobmDestroyDataset(copy), 0);
  for (auto* b : bufs) EXPECT_EQ(qobmDestroyDataBuffer(b), 0);

  // A tensor keeps only the extents within ndims.
  qobmShape shape{4, {1, 3, 8, 8, 77, 0}};
  qobmTensor* t = nullptr;
  ASSERT_EQ(qobmCreateTensor(kCard, 0x1000, 768, &shape, qobmDT_FLOAT32, &t), 0);
  qobmShape got{};
  ASSERT_EQ(qobmGetTensorShape(t, &got), 0);
  EXPECT_EQ((std::vector<int64_t>{got.ndims, got.shapes[1], got.shapes[4]}), (std::vector<int64_t>{4, 3, 0}));
  EXPECT_EQ(qobmDestroyTensor(t), 0);
}

// Destroyed datasets are handed out again, oldest first: the handle destroyed last stays refused while the
// ones destroyed before it come back, and a dataset handed out again has the new mode and none of the
// entries of its earlier life.  (Buffers and tensors are kept and handed out by the same code.)
TEST(QobmDataset, DestroyedDatasetsComeBackEmptyAndNotAtOnce) {
  std::vector<uint8_t> host(8);
  qobmDataBuffer* buf = nullptr;
  ASSERT_EQ(qobmCreateDataBuffer(kHost, reinterpret_cast<uint64_t>(host.data()), host.size(), &buf), 0);
  constexpr int kMany = 40;
  std::vector<qobmDataset*> old(kMany);
  for (qobmDataset*& ds : old) {
    ASSERT_EQ(qobmCreateDataset(qobmDM_BUFFER, &ds), 0);
    ASSERT_EQ(qobmAddDatasetBuffer(ds, buf), 0);
    ASSERT_EQ(qobmAddDatasetBuffer(ds, buf), 0);
  }
  for (qobmDataset* ds : old) ASSERT_EQ(qobmDestroyDataset(ds), 0);
  qobmDataset* last = old.back();
  uint32_t count = 99;
  std::vector<qobmDataset*> fresh(kMany);
  for (int i = 0; i < kMany; ++i) {
    ASSERT_EQ(qobmCreateDataset(qobmDM_TENSOR, &fresh[i]), 0);
    if (i < 16) {
      EXPECT_EQ(qobmGetDatasetTensorCount(last, &count), QOBM_ERR_INVALID_HANDLE) << "creation " << i;
    }
    qobmDatasetMode mode = qobmDM_BUFFER;
    ASSERT_EQ(qobmGetDatasetMode(fresh[i], &mode), 0);
    EXPECT_EQ(mode, qobmDM_TENSOR);
    ASSERT_EQ(qobmGetDatasetTensorCount(fresh[i], &count), 0);
    EXPECT_EQ(count, 0u) << "creation " << i;
  }
  for (qobmDataset* ds : fresh) ASSERT_EQ(qobmDestroyDataset(ds), 0);
  ASSERT_EQ(qobmDestroyDataBuffer(buf), 0);
}

TEST(QobmDataset, MisuseIsRejectedAndLeavesOutputsAlone) {
  qobmDataset* bufDs = nullptr;
  qobmDataset* tenDs = nullptr;
  ASSERT_EQ(qobmCreateDataset(qobmDM_BUFFER, &bufDs), 0);
  ASSERT_EQ(qobmCreateDataset(qobmDM_TENSOR, &tenDs), 0);
  qobmDataBuffer* buf = nullptr;
  ASSERT_EQ(qobmCreateDataBuffer(kHost, 0x10, 4, &buf), 0);
  qobmShape shape{1, {4}};
  qobmTensor* ten = nullptr;
  ASSERT_EQ(qobmCreateTensor(kHost, 0x10, 4, &shape, qobmDT_UINT8, &ten), 0);

  qobmDataset* outDs = reinterpret_cast<qobmDataset*>(0x1);
  // A C caller may pass 2 as the mode; C++ cannot hold that value in the enum, so call through the
  // C-level signature the library exports (the mode travels as a plain int).
  auto createDatasetC = reinterpret_cast<int (*)(int, qobmDataset**)>(&qobmCreateDataset);
  EXPECT_EQ(createDatasetC(2, &outDs), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(outDs, reinterpret_cast<qobmDataset*>(0x1));
  uint32_t count = 99;
  EXPECT_EQ(qobmGetDatasetBufferCount(nullptr, &count), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(qobmGetDatasetBufferCount(bufDs, nullptr), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(qobmAddDatasetBuffer(bufDs, nullptr), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(qobmDestroyDataBuffer(nullptr), QOBM_ERR_INVALID_PARAM);
  // Wrong mode, both directions.
  EXPECT_EQ(qobmAddDatasetTensor(bufDs, ten), QOBM_ERR_MODE);
  EXPECT_EQ(qobmAddDatasetBuffer(tenDs, buf), QOBM_ERR_MODE);
  EXPECT_EQ(qobmGetDatasetBufferCount(tenDs, &count), QOBM_ERR_MODE);
  EXPECT_EQ(count, 99u);
  // Index beyond the entries.
  qobmTensor* outTen = reinterpret_cast<qobmTensor*>(0x2);
  qobmDataBuffer* outBuf = reinterpret_cast<qobmDataBuffer*>(0x3);
  ASSERT_EQ(qobmAddDatasetBuffer(bufDs, buf), 0);
  ASSERT_EQ(qobmAddDatasetTensor(tenDs, ten), 0);
  EXPECT_EQ(qobmGetDatasetBuffer(bufDs, 1, &outBuf), QOBM_ERR_INDEX);
  EXPECT_EQ(qobmGetDatasetTensor(tenDs, UINT32_MAX, &outTen), QOBM_ERR_INDEX);
  EXPECT_EQ(outBuf, reinterpret_cast<qobmDataBuffer*>(0x3));
  EXPECT_EQ(outTen, reinterpret_cast<qobmTensor*>(0x2));
  // Foreign handles: memory this library never handed out, an address inside an object, and a handle of
  // another kind.
  alignas(16) unsigned char junk[64] = {};
  uint64_t addr = 5;
  EXPECT_EQ(qobmDestroyDataset(reinterpret_cast<qobmDataset*>(junk)), QOBM_ERR_INVALID_HANDLE);
  EXPECT_EQ(qobmGetDatasetBuffer(reinterpret_cast<qobmDataset*>(reinterpret_cast<char*>(bufDs) + 8), 0, &outBuf),
            QOBM_ERR_INVALID_HANDLE);
  EXPECT_EQ(qobmGetDataBufferAddr(reinterpret_cast<qobmDataBuffer*>(reinterpret_cast<char*>(buf) + 8), &addr),
            QOBM_ERR_INVALID_HANDLE);
  EXPECT_EQ(qobmGetDataBufferAddr(reinterpret_cast<qobmDataBuffer*>(ten), &addr), QOBM_ERR_INVALID_HANDLE);
  EXPECT_EQ(qobmGetTensorDataHandle(reinterpret_cast<qobmTensor*>(buf), &addr), QOBM_ERR_INVALID_HANDLE);
  EXPECT_EQ(qobmAddDatasetBuffer(bufDs, reinterpret_cast<qobmDataBuffer*>(ten)), QOBM_ERR_INVALID_HANDLE);
  // Destroyed handles; a dataset still lists a destroyed entry, and using it is answered, not a crash.
  ASSERT_EQ(qobmDestroyDataset(bufDs), 0);
  ASSERT_EQ(qobmDestroyDataBuffer(buf), 0);
  ASSERT_EQ(qobmDestroyTensor(ten), 0);
  EXPECT_EQ(qobmDestroyDataset(bufDs), QOBM_ERR_INVALID_HANDLE);
  EXPECT_EQ(qobmDestroyTensor(ten), QOBM_ERR_INVALID_HANDLE);
  EXPECT_EQ(qobmGetDataBufferSize(buf, &addr), QOBM_ERR_INVALID_HANDLE);
  EXPECT_EQ(addr, 5u);
  ASSERT_EQ(qobmGetDatasetTensor(tenDs, 0, &outTen), 0);
  qobmShape got{};
  EXPECT_EQ(qobmGetTensorShape(outTen, &got), QOBM_ERR_INVALID_HANDLE);
  EXPECT_EQ(qobmDestroyDataset(tenDs), 0);

  // Creation validates device, memory, shape and type.
  qobmShape two3{2, {2, 3}}, tooMany{7, {1, 1, 1, 1, 1, 1}}, negative{2, {2, -1}};
  EXPECT_EQ(qobmCreateDataBuffer(kHost, 0, 16, &buf), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(qobmCreateDataBuffer(qobmDeviceInfo{static_cast<qobmDeviceType>(2), 0}, 0x10, 16, &buf),
            QOBM_ERR_DEVICE);
  EXPECT_EQ(qobmCreateDataBuffer(qobmDeviceInfo{qobmDE_QOBC, 1000}, 0x10, 16, &buf), QOBM_ERR_DEVICE);
  EXPECT_EQ(qobmCreateTensor(kHost, 0x10, 24, nullptr, qobmDT_INT8, &ten), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(qobmCreateTensor(kHost, 0x10, 24, &two3, qobmDT_ANY, &ten), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(qobmCreateTensor(kHost, 0x10, 24, &tooMany, qobmDT_INT8, &ten), QOBM_ERR_INVALID_PARAM);
  EXPECT_EQ(qobmCreateTensor(kHost, 0x10, 24, &negative, qobmDT_INT8, &ten), QOBM_ERR_INVALID_PARAM);
  qobmShape six{6, {1, 2, 1, 2, 1, 3}};
  for (int t = qobmDT_UINT8; t <= qobmDT_BFLOAT; ++t) {
    ASSERT_EQ(qobmCreateTensor(kHost, 0x10, 24, &six, static_cast<qobmDType>(t), &ten), 0) << t;
    EXPECT_EQ(qobmDestroyTensor(ten), 0);
  }
}

}  // namespace
