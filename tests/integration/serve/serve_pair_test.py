"""qobl-serve with the demo model that takes two inputs of different shapes (data [1,4,8,8], scale [1,4]) and
returns two outputs ([1,4,8,8], [1,3]): metadata, REST (JSON and binary) and gRPC inference with the inputs
matched by name whatever their order, outputs asked for by name, and requests whose inputs do not fit."""
import json
import os
import shutil
import struct
import tempfile
import unittest

import grpc

from serve_client import MODELS, Server, float_bytes, floats, pb, sample

DATA_BYTES, SCALE_BYTES, SCALED_BYTES = 1024, 16, 1024
SAMPLE_IN, SAMPLE_OUT = sample("pair")
DATA, SCALE = SAMPLE_IN[:DATA_BYTES], SAMPLE_IN[DATA_BYTES:]
SCALED, SUMMARY = SAMPLE_OUT[:SCALED_BYTES], SAMPLE_OUT[SCALED_BYTES:]


def rotated_scale(k):
    """The sample's scale vector rotated by k channels: with the sample's data, an item with other outputs."""
    v = struct.unpack("<4f", SCALE)
    return struct.pack("<4f", *(v[(c + k) % 4] for c in range(4)))


def tensor(name, shape, raw):
    return {"name": name, "datatype": "FP32", "shape": shape, "data": floats(raw)}


class PairTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.repo = tempfile.mkdtemp(prefix="qobl_serve_pair_")
        os.symlink(os.path.abspath(os.path.join(MODELS, "pair")), os.path.join(cls.repo, "pair"))
        cls.server = Server(repo=cls.repo, cards=1)

    @classmethod
    def tearDownClass(cls):
        code, out = cls.server.stop()
        shutil.rmtree(cls.repo)
        assert code == 0, (code, cls.server.stderr())
        assert "stopped: card memory in use 0 bytes in 0 blocks" in out, out

    def outputs(self, doc):
        """{output name: (shape, raw bytes)} of a JSON response."""
        return {o["name"]: (o["shape"], float_bytes(o["data"])) for o in doc["outputs"]}

    def test_metadata_lists_both_inputs_and_outputs(self):
        s = self.server
        inputs = [("data", "FP32", [-1, 4, 8, 8]), ("scale", "FP32", [-1, 4])]
        outputs = [("scale_add", "FP32", [-1, 4, 8, 8]), ("mean_dense", "FP32", [-1, 3])]
        status, _, body = s.get("/v2/models/pair")
        self.assertEqual(status, 200)
        m = json.loads(body)
        self.assertEqual([(t["name"], t["datatype"], t["shape"]) for t in m["inputs"]], inputs)
        self.assertEqual([(t["name"], t["datatype"], t["shape"]) for t in m["outputs"]], outputs)
        g = s.stub.ModelMetadata(pb.ModelMetadataRequest(name="pair"))
        self.assertEqual([(t.name, t.datatype, list(t.shape)) for t in g.inputs], inputs)
        self.assertEqual([(t.name, t.datatype, list(t.shape)) for t in g.outputs], outputs)

    def test_rest_inputs_matched_by_name(self):
        s = self.server
        expected = {"scale_add": ([1, 4, 8, 8], SCALED), "mean_dense": ([1, 3], SUMMARY)}
        for order in ((0, 1), (1, 0)):
            ins = [tensor("data", [1, 4, 8, 8], DATA), tensor("scale", [1, 4], SCALE)]
            status, doc = s.infer_json("pair", {"inputs": [ins[i] for i in order]})
            self.assertEqual(status, 200, doc)
            self.assertEqual([o["name"] for o in doc["outputs"]], ["scale_add", "mean_dense"])
            self.assertEqual(self.outputs(doc), expected, order)
        # Seven items in one request (two device runs of 4), four distinct, the inputs given in the opposite
        # order: each item's outputs are those it gets alone.
        alone = []
        for k in range(4):
            status, doc = s.infer_json("pair", {"inputs": [tensor("scale", [1, 4], rotated_scale(k)),
                                                           tensor("data", [1, 4, 8, 8], DATA)]})
            self.assertEqual(status, 200, doc)
            alone.append(self.outputs(doc))
        self.assertNotEqual(alone[0]["mean_dense"], alone[1]["mean_dense"])
        status, doc = s.infer_json("pair", {"inputs": [
            tensor("scale", [7, 4], b"".join(rotated_scale(k % 4) for k in range(7))),
            tensor("data", [7, 4, 8, 8], DATA * 7)]})
        self.assertEqual(status, 200, doc)
        got = self.outputs(doc)
        self.assertEqual(got["scale_add"], ([7, 4, 8, 8], b"".join(alone[k % 4]["scale_add"][1] for k in range(7))))
        self.assertEqual(got["mean_dense"], ([7, 3], b"".join(alone[k % 4]["mean_dense"][1] for k in range(7))))
        # Both outputs asked for in the opposite order come back in the order asked.
        status, doc = s.infer_json("pair", {"inputs": [tensor("data", [1, 4, 8, 8], DATA),
                                                       tensor("scale", [1, 4], SCALE)],
                                            "outputs": [{"name": "mean_dense"}, {"name": "scale_add"}]})
        self.assertEqual(status, 200, doc)
        self.assertEqual([(o["name"], float_bytes(o["data"])) for o in doc["outputs"]],
                         [("mean_dense", SUMMARY), ("scale_add", SCALED)])
        # One output of two, asked for by name, as JSON; then binary inputs in the opposite order with one
        # output binary.
        status, doc = s.infer_json("pair", {"inputs": [tensor("data", [1, 4, 8, 8], DATA),
                                                       tensor("scale", [1, 4], SCALE)],
                                            "outputs": [{"name": "mean_dense"}]})
        self.assertEqual(status, 200, doc)
        self.assertEqual(self.outputs(doc), {"mean_dense": ([1, 3], SUMMARY)})
        header = {"inputs": [{"name": "scale", "datatype": "FP32", "shape": [2, 4],
                              "parameters": {"binary_data_size": 2 * SCALE_BYTES}},
                             {"name": "data", "datatype": "FP32", "shape": [2, 4, 8, 8],
                              "parameters": {"binary_data_size": 2 * DATA_BYTES}}],
                  "outputs": [{"name": "scale_add", "parameters": {"binary_data": True}}]}
        status, doc, raw = s.infer_binary("pair", header, [SCALE * 2, DATA * 2])
        self.assertEqual(status, 200, doc)
        self.assertEqual([o["name"] for o in doc["outputs"]], ["scale_add"])
        self.assertEqual(raw, {"scale_add": SCALED * 2})

    def test_grpc_inputs_matched_by_name(self):
        s = self.server
        for inputs, raw in (([("data", "FP32", [2, 4, 8, 8], None), ("scale", "FP32", [2, 4], None)],
                             [DATA * 2, SCALE * 2]),
                            ([("scale", "FP32", [2, 4], None), ("data", "FP32", [2, 4, 8, 8], None)],
                             [SCALE * 2, DATA * 2])):
            r = s.grpc_infer("pair", inputs, raw=raw)
            self.assertEqual([(o.name, list(o.shape)) for o in r.outputs],
                             [("scale_add", [2, 4, 8, 8]), ("mean_dense", [2, 3])])
            self.assertEqual(list(r.raw_output_contents), [SCALED * 2, SUMMARY * 2])
        # Typed contents, the inputs in the opposite order, one output of two.
        r = s.grpc_infer("pair", [("scale", "FP32", [1, 4], floats(SCALE)), ("data", "FP32", [1, 4, 8, 8], floats(DATA))],
                         outputs=["mean_dense"])
        self.assertEqual([o.name for o in r.outputs], ["mean_dense"])
        self.assertEqual(list(r.raw_output_contents), [SUMMARY])
        r = s.grpc_infer("pair", [("data", "FP32", [1, 4, 8, 8], None), ("scale", "FP32", [1, 4], None)],
                         raw=[DATA, SCALE], outputs=["mean_dense", "scale_add"])
        self.assertEqual([o.name for o in r.outputs], ["mean_dense", "scale_add"])
        self.assertEqual(list(r.raw_output_contents), [SUMMARY, SCALED])

    def test_inputs_that_do_not_fit_are_named(self):
        s = self.server
        data, scale = tensor("data", [1, 4, 8, 8], DATA), tensor("scale", [1, 4], SCALE)
        rest = [
            ("one missing", [data], 'input "scale" is missing'),
            ("one twice", [data, scale, dict(data)], 'input "data" is given twice'),
            ("second of the wrong shape", [data, tensor("scale", [1, 5], SCALE + SCALE[:4])],
             'input "scale": shape [1,5], the model takes [-1,4]'),
            ("batches differ", [data, tensor("scale", [2, 4], SCALE * 2)], "the inputs disagree on the batch size"),
            ("unknown name", [data, tensor("scales", [1, 4], SCALE)],
             'unknown input "scales": model pair takes data, scale'),
        ]
        for what, inputs, fragment in rest:
            status, doc = s.infer_json("pair", {"inputs": inputs})
            self.assertEqual(status, 400, what)
            self.assertIn(fragment, doc["error"], what)
        status, doc = s.infer_json("pair", {"inputs": [data, scale], "outputs": [{"name": "scaled"}]})
        self.assertEqual(status, 400)
        self.assertIn('unknown output "scaled": model pair returns scale_add, mean_dense', doc["error"])

        grpc_cases = [
            ("one missing", [("data", "FP32", [1, 4, 8, 8], None)], [DATA], 'input "scale" is missing'),
            ("one twice", [("scale", "FP32", [1, 4], None), ("scale", "FP32", [1, 4], None)], [SCALE, SCALE],
             'input "scale" is given twice'),
            ("second of the wrong shape", [("data", "FP32", [1, 4, 8, 8], None), ("scale", "FP32", [1, 2, 2], None)],
             [DATA, SCALE], 'input "scale" has shape [1,2,2]'),
            ("second short", [("data", "FP32", [1, 4, 8, 8], None), ("scale", "FP32", [1, 4], None)],
             [DATA, SCALE[:-4]], 'input "scale" of shape [1,4] FP32 takes 16 bytes, 12 given'),
        ]
        for what, inputs, raw, fragment in grpc_cases:
            with self.assertRaises(grpc.RpcError, msg=what) as cm:
                s.grpc_infer("pair", inputs, raw=raw)
            self.assertEqual(cm.exception.code(), grpc.StatusCode.INVALID_ARGUMENT, what)
            self.assertIn(fragment, cm.exception.details(), what)
        # The server still answers correctly afterwards.
        r = s.grpc_infer("pair", [("data", "FP32", [1, 4, 8, 8], None), ("scale", "FP32", [1, 4], None)],
                         raw=[DATA, SCALE])
        self.assertEqual(list(r.raw_output_contents), [SCALED, SUMMARY])


if __name__ == "__main__":
    unittest.main()
