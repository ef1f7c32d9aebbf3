// A store file from a damaged machine or a stranger's package, through the
// delta expander: its container header and DCS block layout, with the
// fake's LZMS decoder and a scripted msdelta.
#include "analysis/delta_container.h"
#include "analysis/delta_expander.h"
#include "fuzz_support.h"
#include "platform/fake/fake_compression.h"

using namespace corvex;
using namespace corvex::fuzz;

namespace {

uint32_t Le32(const std::string& b, size_t at) {
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}

// What the layout promises the decoder: every block inside the file, the
// blocks back to back in the output, adding up to the file's size.
void CheckLayout(const std::string& file) {
  const DcsLayout l = ReadDcsLayout(file);
  FUZZ_CHECK(l.blocks.size() <= file.size() / 8, "more blocks than the file can hold");
  if (l.fault != DcsFault::kNone) return;
  uint64_t total = 0;
  for (const DcsBlock& b : l.blocks) {
    FUZZ_CHECK(b.compressedBlockSize >= 4, "a block without room for its size field");
    FUZZ_CHECK(b.dataOffset + b.dataSize() <= file.size(), "a block reaching past the file");
    FUZZ_CHECK(b.outputOffset == total, "blocks not back to back");
    total += b.decompressedBlockSize;
  }
  FUZZ_CHECK(total == l.uncompressedFileSize, "blocks not adding up to the file's size");
  FUZZ_CHECK(l.blocks.size() == l.numberOfBlocks, "a sound layout with blocks missing");
}

}  // namespace

FUZZ_TARGET(fuzz_delta_expander)(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  const std::string file = Bytes(data + 1, size - 1);
  CheckLayout(file);
  // The output is allocated whole; a header may claim 4 GiB, which the
  // expander reports as an allocation failure but the fuzzer counts as one.
  if (file.size() >= 12 && ClassifyContainer(file) == ContainerKind::kDcs && Le32(file, 8) > (1u << 20)) return 0;

  Fake f;
  fake::FakeCompression& c = f.w.compression();
  const bool detection = mode & 1, deltaForm = mode & 2;
  if (mode & 4) f.w.InjectFault(fake::Op::kDeltaApply, L"", 13);
  if (mode & 8) f.w.InjectFault(fake::Op::kDeltaInfo, L"", 13);
  if (mode & 16) c.lzms = {platform::ApiState::kLibraryMissing, 126};
  c.deltaInfo.targetHashSize = (mode & 32) ? 40 : 32;
  c.deltaInfo.fileType = mode >> 6;
  c.deltaTarget = "target";
  ManifestBasisSource basis;
  if (mode & 64) basis.bytes = file.substr(0, kManifestBasisSize);

  const std::wstring source = L"C:\\Store\\in.dll", out = L"C:\\Out\\out.dll";
  f.w.AddFile(source, file);
  f.w.AddFile(L"C:\\Basis\\old.dll", "basis");
  f.w.AddFolder(L"C:\\Out");
  const std::wstring destination = detection ? std::wstring(kDetectionOnly) : out;
  const std::wstring args = (deltaForm ? L"/d C:\\Basis\\old.dll " : L"") + source + L" " + destination;
  const std::wstring report = RunDeltaExpander(f.w.platform(), args, basis);

  FUZZ_CHECK(!report.empty(), "an empty report");
  const bool success = IContains(report, L"Operation Successful");
  const std::vector<std::wstring> written = f.w.ListTree(L"C:\\Out");
  FUZZ_CHECK(!detection || written.empty(), "detection wrote a file");
  FUZZ_CHECK(!detection || !success, "detection reported a write");
  FUZZ_CHECK(success == (written.size() == 1), "a failure left a file, or a success none");
  FUZZ_CHECK(written.size() <= 1, "a temporary file left behind");
  FUZZ_CHECK(f.w.FileBytes(source) == file, "the source changed");
  if (success) {
    const std::string output = f.w.FileBytes(out);
    switch (ClassifyContainer(file)) {
      case ContainerKind::kMz:
        FUZZ_CHECK(output == file, "an executable not copied as it was");
        break;
      case ContainerKind::kDcs:
        FUZZ_CHECK(output.size() == Le32(file, 8), "a DCS output not of its header's size");
        break;
      case ContainerKind::kDcn:
      case ContainerKind::kDcd:
        FUZZ_CHECK(output == "target", "a delta output not msdelta's");
        break;
      default:
        FUZZ_CHECK(false, "a kind that is never written was written");
    }
  }
  return 0;
}
