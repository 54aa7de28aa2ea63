// Data ranges and formats come from capture clients: whatever their bytes,
// the intersection must answer within the client's buffer with a status
// that says what it wrote, and the format check must read only the format.
//
// Input: stream number, mode, list index, two bytes of result-buffer size,
// then either the range itself (mode bit 0 clear) or (offset, value) pairs
// that patch a listed range of the stream (mode bit 0 set), so that the
// fuzzer starts from ranges that match and bends them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "properties/formats.h"

namespace {

constexpr std::size_t kHeader = 5;

// The client's range: a listed one patched, or the raw bytes; its size field
// never claims more than the client sent, as the port guarantees.
std::vector<std::uint8_t> ClientRange(const std::uint8_t* data, std::size_t size, ULONG stream) {
  std::vector<std::uint8_t> range;
  ULONG count = 0;
  const KS_DATARANGE_VIDEO* const* list = StreamFormats(stream, &count);
  if ((data[1] & 1) != 0 && count != 0) {
    const auto* base = reinterpret_cast<const std::uint8_t*>(list[data[2] % count]);
    range.assign(base, base + sizeof(KS_DATARANGE_VIDEO));
    for (std::size_t i = kHeader; i + 1 < size; i += 2) {
      range[(data[i] * 7u + i) % range.size()] = data[i + 1];
    }
  } else {
    range.assign(data + kHeader, data + size);
  }
  if (range.size() >= sizeof(KSDATARANGE)) {
    auto* header = reinterpret_cast<KSDATARANGE*>(range.data());
    if (header->FormatSize > range.size()) header->FormatSize = static_cast<ULONG>(range.size());
  }
  return range;
}

void Intersect(const std::uint8_t* data, std::size_t size) {
  const ULONG stream = data[0] % (kFormatStreamCount + 1);
  std::vector<std::uint8_t> range = ClientRange(data, size, stream);
  if (range.size() < sizeof(KSDATARANGE)) return;
  const ULONG bufferSize = data[3] | data[4] << 8;
  std::vector<std::uint8_t> buffer(bufferSize);  // exactly the client's size: ASan sees overruns
  STREAM_DATA_INTERSECT_INFO info{stream, reinterpret_cast<KSDATARANGE*>(range.data()),
                                  bufferSize != 0 ? buffer.data() : nullptr, bufferSize};
  HW_STREAM_REQUEST_BLOCK srb{};
  srb.Command = SRB_GET_DATA_INTERSECTION;
  srb.CommandData.IntersectInfo = &info;
  const NTSTATUS status = IntersectDataRange(&srb);
  if (status != srb.Status) std::abort();
  if (status == STATUS_SUCCESS) {
    // The answer is a whole format that fits the buffer it was written to.
    const auto* format = reinterpret_cast<const KSDATAFORMAT*>(buffer.data());
    if (srb.ActualBytesTransferred > bufferSize ||
        format->FormatSize != srb.ActualBytesTransferred) {
      std::abort();
    }
  } else if (status != STATUS_NO_MATCH && status != STATUS_BUFFER_OVERFLOW &&
             status != STATUS_BUFFER_TOO_SMALL) {
    std::abort();
  }
  // The client's range, read as a format of the size it claims.
  VerifyDataFormat(reinterpret_cast<const KSDATAFORMAT*>(range.data()), stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader || size > 4096) return 0;
  Intersect(data, size);  // pure computation: no platform state to reset or check
  return 0;
}
