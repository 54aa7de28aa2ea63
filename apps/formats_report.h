// What `veltocam formats` prints: each stream's listed formats as the driver
// answered them, as text or as one JSON document. Both carry the same facts:
// a format the driver refused is listed with its index and the status.
#pragma once

#include <cstdio>
#include <vector>

#include "client/capture_client.h"

namespace veltocam::app {

// The driver's answer to one listed format: the format it gave back, or the
// listed one with a failing status.
struct FormatAnswer {
  client::FormatInfo format;
  NTSTATUS status = STATUS_SUCCESS;
};

struct StreamAnswers {
  client::StreamInfo stream;
  std::vector<FormatAnswer> answers;
};

void PrintFormatsText(std::FILE* out, const std::vector<StreamAnswers>& streams);
void PrintFormatsJson(std::FILE* out, const std::vector<StreamAnswers>& streams);

}  // namespace veltocam::app
