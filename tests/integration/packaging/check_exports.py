#!/usr/bin/python3
"""Checks the ABI surface of the built shared libraries.

  check_exports.py LIB_DIR SOURCE_DIR VERSION_HEADER

Fails (exit 1, one line per finding) when
  - a library's soname is not lib<name>.so.<major> with <major> = QOBL_VERSION_MAJOR, or the versioned file
    lib<name>.so.<major>.<minor>.<patch> is missing;
  - libqobl.so exports any dynamic symbol other than the functions declared in qobl_api.h (and its version
    node), or a declared function is missing;
  - libqobm, libqobe or libqobcrt export anything that is not a C function or variable declared in their
    public headers;
  - libtvm_runtime exports a C symbol its public headers do not declare, or C++ symbols outside the
    public tvm namespaces (the graph executor and the card runtime stay inside);
  - an exported symbol is not bound to the library's version node;
  - libqobl.so imports a platform call (from libqobm, libqobe or libqobcrt) outside the interfaces it is
    given: the card's platform promises only those, whatever more the simulated platform offers.
"""
import pathlib
import re
import subprocess
import sys

# Symbols the toolchain may define in any shared object.
STANDARD = {"_init", "_fini", "__bss_start", "_edata", "_end"}


# The platform calls libqobl may use: the device runtime's, the op engine's and the dataset/event/log
# library's interfaces, and the two release calls with which it frees the buffers and card memory it makes
# itself for report datasets (qobmFree, qobmDestroyDataBuffer).
PLATFORM_CALLS = {
    "QOBCRT_0": {
        "qobcrt_create_stream", "qobcrt_destroy_stream", "qobcrt_free_ddr_share", "qobcrt_free_inout",
        "qobcrt_free_stream", "qobcrt_get_output_register", "qobcrt_get_vdsp_ops", "qobcrt_malloc_ddr_share",
        "qobcrt_malloc_inout", "qobcrt_malloc_stream", "qobcrt_memcpy", "qobcrt_model_addr",
        "qobcrt_run_stream", "qobcrt_run_stream_sync", "QOBCRegisterDeviceAPI",
    },
    "QOBE_0": {
        "qobeBufferAddr", "qobeCreateOp", "qobeGetOpAttr", "qobeGetOpAttrArray", "qobeOpBufferCount",
        "qobeOpConfigCount", "qobeOpConfigList", "qobeOpDeviceId", "qobeOpInputCount", "qobeOpInputShape",
        "qobeOpInputSizes", "qobeOpName", "qobeOpOutputCount", "qobeOpOutputShape", "qobeOpOutputSizes",
        "qobeOpTypeId", "qobeOpUid", "qobeSetOpAttr", "qobeTensorizationType",
    },
    "QOBM_0": {
        "qobmAddDatasetBuffer", "qobmAddDatasetTensor", "qobmCreateDataBuffer", "qobmCreateDataset",
        "qobmCreateEvent", "qobmDLDataTypeToDataType", "qobmDestroyDataset", "qobmDestroyEvent",
        "qobmFloat16ToFloat32", "qobmGetDataBufferAddr", "qobmGetDataBufferDeviceInfo", "qobmGetDatasetBuffer",
        "qobmGetDatasetBufferCount", "qobmGetDatasetMode", "qobmGetDatasetTensor", "qobmGetDatasetTensorCount",
        "qobmGetDevice", "qobmGetErrDesc", "qobmGetTensorDataHandle", "qobmGetTensorDeviceInfo",
        "qobmLogLevelEnabled", "qobmLogMessage", "qobmMalloc", "qobmNormalizeErrorCode", "qobmSetEvent",
        "qobmWaitEvent", "qobmFree", "qobmDestroyDataBuffer",
    },
}


def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def dynamic_symbols(lib):
    """{name: version} of the defined dynamic symbols; version nodes themselves map to None."""
    out = {}
    for line in run("nm", "-D", "--defined-only", "--with-symbol-versions", str(lib)).splitlines():
        parts = line.split()
        if len(parts) < 3:
            continue
        kind, name = parts[1], parts[2]
        if kind == "A":
            out[name.split("@")[0]] = None
            continue
        base, _, version = name.partition("@@")
        if not version:
            base, _, version = name.partition("@")
        out[base] = version
    return out


def imported_symbols(lib):
    """(name, version) of the undefined dynamic symbols that name a version."""
    out = []
    for line in run("nm", "-D", "--undefined-only", "--with-symbol-versions", str(lib)).splitlines():
        name, _, version = line.split()[-1].partition("@")
        if version:
            out.append((name, version.lstrip("@")))
    return out


def soname(lib):
    m = re.search(r"\(SONAME\)\s+Library soname: \[([^\]]+)\]", run("readelf", "-d", str(lib)))
    return m.group(1) if m else None


def declared_c_names(headers):
    """Identifiers declared as functions (name followed by an opening parenthesis) or extern variables."""
    names = set()
    for h in headers:
        text = re.sub(r"/\*.*?\*/", " ", h.read_text(), flags=re.S)
        text = re.sub(r"//[^\n]*", " ", text)
        names.update(re.findall(r"\b([A-Za-z_]\w*)\s*\(", text))
        names.update(re.findall(r"\bextern\b[^;(]*?\b([A-Za-z_]\w*)\s*;", text))
    return names


def demangle(names):
    if not names:
        return {}
    out = run("c++filt", *names).splitlines()
    return dict(zip(names, out))


def main():
    lib_dir, src, version_header = map(pathlib.Path, sys.argv[1:4])
    macros = dict(re.findall(r"#define QOBL_VERSION_(MAJOR|MINOR|PATCH) (\d+)", version_header.read_text()))
    major, minor, patch = macros["MAJOR"], macros["MINOR"], macros["PATCH"]
    problems = []

    libs = {
        "qobl": ("QOBL_0", [src / "api/include/qobl_api.h"]),
        "qobm": ("QOBM_0", sorted((src / "platform/qobm/include").rglob("*.h"))),
        "qobe": ("QOBE_0", sorted((src / "platform/qobe/include").rglob("*.h"))),
        "qobcrt": ("QOBCRT_0", sorted((src / "platform/qobcrt/include").rglob("*.h"))),
        "tvm_runtime": ("QOBL_TVM_0", sorted((src / "platform/tvm/include").rglob("*.h"))),
    }
    for name, (node, headers) in libs.items():
        lib = lib_dir / f"lib{name}.so"
        want = f"lib{name}.so.{major}"
        if soname(lib) != want:
            problems.append(f"lib{name}.so: soname {soname(lib)!r}, expected {want!r}")
        if not (lib_dir / f"{want}.{minor}.{patch}").is_file():
            problems.append(f"lib{name}.so: {want}.{minor}.{patch} is missing")

        syms = dynamic_symbols(lib)
        if syms.pop(node, "missing") is not None:
            problems.append(f"lib{name}.so: no version node {node}")
        for s in STANDARD:
            syms.pop(s, None)
        for s, v in sorted(syms.items()):
            if v != node:
                problems.append(f"lib{name}.so: {s} is bound to version {v!r}, not {node}")

        declared = declared_c_names(headers)
        c_syms = {s for s in syms if not s.startswith("_Z")}
        cxx_syms = demangle(sorted(s for s in syms if s.startswith("_Z")))
        if name == "qobl":
            api = set(re.findall(r"QOBL_EXPORT\s+qoblErr\s+(\w+)\s*\(", headers[0].read_text()))
            if len(api) != 33:
                problems.append(f"qobl_api.h declares {len(api)} exported functions, expected 33")
            for s in sorted(set(syms) - api):
                problems.append(f"libqobl.so exports {cxx_syms.get(s, s)}, which is not in the API")
            for s in sorted(api - set(syms)):
                problems.append(f"libqobl.so does not export {s}")
            for s, v in imported_symbols(lib):
                if v in PLATFORM_CALLS and s not in PLATFORM_CALLS[v]:
                    problems.append(f"libqobl.so calls {s} ({v}), which the card's platform does not promise")
            continue
        for s in sorted(c_syms - declared):
            problems.append(f"lib{name}.so exports {s}, which its public headers do not declare")
        for mangled, plain in sorted(cxx_syms.items()):
            public = (name == "tvm_runtime"
                      and re.match(r"^(typeinfo for |typeinfo name for |vtable for )?tvm::", plain)
                      and not re.search(r"tvm::runtime::(graph|card)::|\(anonymous namespace\)", plain))
            if not public:
                problems.append(f"lib{name}.so exports the internal {plain}")

    for p in problems:
        print(p)
    if problems:
        return 1
    print("sonames versioned; exports: libqobl the 33 API functions, the platform libraries their public "
          "interface only; libqobl calls only the platform calls it is given")
    return 0


if __name__ == "__main__":
    sys.exit(main())
