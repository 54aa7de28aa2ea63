#include "apps/formats_report.h"

namespace veltocam::app {

void PrintFormatsText(std::FILE* out, const std::vector<StreamAnswers>& streams) {
  for (const StreamAnswers& s : streams) {
    std::fprintf(out, "stream %u (%s): %zu formats\n", s.stream.number, s.stream.name.c_str(),
                 s.answers.size());
    std::fprintf(out, "  %-3s %-6s %6s %6s %10s %7s %11s\n", "#", "FOURCC", "width", "height",
                 "interval", "fps", "sample size");
    for (const FormatAnswer& a : s.answers) {
      const client::FormatInfo& f = a.format;
      if (!NT_SUCCESS(a.status)) {
        std::fprintf(out, "  %-3u refused (status 0x%08X)\n", f.index,
                     static_cast<unsigned>(a.status));
        continue;
      }
      std::fprintf(out, "  %-3u %-6s %6d %6d %10lld %7.2f %11u\n", f.index, f.FourccText().c_str(),
                   f.width, f.height, static_cast<long long>(f.frameInterval), f.FramesPerSecond(),
                   f.sampleSize);
    }
  }
}

void PrintFormatsJson(std::FILE* out, const std::vector<StreamAnswers>& streams) {
  std::fprintf(out, "[");
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const StreamAnswers& s = streams[i];
    std::fprintf(out, "%s\n  {\"number\": %u, \"name\": \"%s\", \"formats\": [", i == 0 ? "" : ",",
                 s.stream.number, s.stream.name.c_str());
    for (std::size_t j = 0; j < s.answers.size(); ++j) {
      const FormatAnswer& a = s.answers[j];
      const client::FormatInfo& f = a.format;
      std::fprintf(out, "%s\n    {\"index\": %u, ", j == 0 ? "" : ",", f.index);
      if (!NT_SUCCESS(a.status)) {
        std::fprintf(out, "\"refused\": true, \"status\": \"0x%08X\"}",
                     static_cast<unsigned>(a.status));
        continue;
      }
      std::fprintf(out,
                   "\"fourcc\": \"%s\", \"width\": %d, \"height\": %d, \"frameInterval\": %lld, "
                   "\"fps\": %.2f, \"sampleSize\": %u}",
                   f.FourccText().c_str(), f.width, f.height,
                   static_cast<long long>(f.frameInterval), f.FramesPerSecond(), f.sampleSize);
    }
    std::fprintf(out, "\n  ]}");
  }
  std::fprintf(out, "\n]\n");
}

}  // namespace veltocam::app
