// .reg files are text from outside the driver (a camera model's installer):
// whatever the bytes, importing them must not crash, a rejected file must
// leave the store as it was, and an accepted one must export to text that
// imports back to the same store.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/host/platform.h"
#include "platform/host/regfile.h"
#include "platform/host/registry_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace veltocam::host;
  ResetRegistry();
  const std::string before = ExportRegText("\\Registry").text;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const RegFileResult imported = ImportRegText(text);
  const std::string after = ExportRegText("\\Registry").text;
  if (!imported.ok) {
    if (after != before) std::abort();  // a rejected file changed the store
    return 0;
  }
  ResetRegistry();
  if (!ImportRegText(after).ok) std::abort();                   // the export does not read back
  if (ExportRegText("\\Registry").text != after) std::abort();  // nor to the same store
  return 0;
}
