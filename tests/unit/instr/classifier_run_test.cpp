// One hand-assembled run on the card: input op -> run-model op on the demo classifier, built by a run-stream
// instruction and executed with qobcrt_run_stream_sync; the output must equal the CPU reference bit for bit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "instr_fakes.h"
#include "op_dg_node.h"
#include "op_instruction.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"
#include "stream_instruction.h"

using namespace instrtest;
using zenlar::qobl::OpDGNode;
using zenlar::qobl::OpIRInstruction;
using zenlar::qobl::RunStreamInstruction;

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ClassifierRunTest, HandAssembledRunReproducesTheReferenceOutput) {
  const char* build = std::getenv("QOBL_BUILD_DIR");
  const std::string dir = std::string(build != nullptr ? build : ".") + "/models/classifier/";
  const std::string input = readFile(dir + "sample_input.bin");
  const std::string expected = readFile(dir + "expected_output.bin");
  ASSERT_EQ(3072u, input.size()) << "demo model missing under " << dir;
  ASSERT_EQ(40u, expected.size());
  ASSERT_EQ(0, qobmSetDevice(0));
  const Live base = live();

  qoblModel* model = nullptr;
  ASSERT_EQ(0u, qoblCreateModel((dir + "model.so").c_str(), (dir + "graph.json").c_str(),
                                (dir + "params.bin").c_str(), (dir + "hw.json").c_str(), &model));
  uint32_t batch = 1;
  ASSERT_EQ(0u, qoblSetModelBatchSize(model, &batch));
  zenlar::qobl::IModel* m = model->ptr_;

  auto* in = new FakeStreamOp;
  in->opType_ = qobeOP_INPUT_OP;
  in->uid_ = 1;
  in->inputCount_ = in->outputCount_ = 1;
  in->outputSizes_ = {3072};
  auto* rm = new FakeStreamOp;
  rm->opType_ = qobeOP_RUN_MODEL_OP;
  rm->typeId_ = 20000;
  rm->uid_ = 2;
  rm->inOp_ = in;
  rm->model_ = m;
  rm->configCount_ = 1;
  rm->configMode_ = FakeStreamOp::kModel;
  rm->inputCount_ = rm->outputCount_ = 1;
  rm->outputSizes_ = {static_cast<uint32_t>(expected.size())};
  rm->leaf_ = true;
  OpDGNode inNode(in), rmNode(rm);
  OpIRInstruction inIr(&inNode, 0), rmIr(&rmNode, 1);

  uint64_t inAddr = 0, outAddr = 0;
  ASSERT_EQ(0, qobmMalloc(input.size(), &inAddr));
  ASSERT_EQ(0, qobmMalloc(expected.size(), &outAddr));
  ASSERT_EQ(0, qobmMemcpy(inAddr, reinterpret_cast<uint64_t>(input.data()), input.size(), 0));

  {
    RunStreamInstruction inst(9001, {&inIr, &rmIr}, 0);
    ASSERT_TRUE(inst.setInOutputData(&inAddr, 1, &outAddr, 1));
    ASSERT_TRUE(inst.isReady());
    ASSERT_TRUE(inst.build());
    uint32_t status = 12345;
    ASSERT_EQ(0, qobcrt_run_stream_sync(0, inst.address() & 0xffffffffu, 10000, &status));
    EXPECT_EQ(0u, status);
  }
  std::string got(expected.size(), '\0');
  ASSERT_EQ(0, qobmMemcpy(reinterpret_cast<uint64_t>(&got[0]), outAddr, got.size(), 1));
  EXPECT_EQ(expected, got);

  EXPECT_EQ(0, qobmFree(inAddr));
  EXPECT_EQ(0, qobmFree(outAddr));
  EXPECT_EQ(0u, qoblDestroyModel(model));
  EXPECT_EQ(base, live());
}

}  // namespace
