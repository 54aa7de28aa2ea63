#include "apps/bulk_button.h"

#include "platform/host/scheduler.h"

namespace veltocam::app {
namespace {

// The interrupt pipe is polled every 10 ms; a press is signalled well within this.
constexpr LONGLONG kEventWait = host::Seconds(1);

}  // namespace

BulkButton::BulkButton(sim::BulkCamera& camera, CameraSession& session, int pressAt)
    : camera_(camera), session_(session), pressAt_(pressAt) {
  if (pressAt_ > 0) enabled_ = NT_SUCCESS(session_.EnableSnapshotEvent());
}

void BulkButton::AfterPicture(int delivered) {
  if (delivered != pressAt_) return;
  pressed_ = true;
  const std::size_t seen = session_.SnapshotEvents();
  camera_.PressSnapshotButton();
  signalled_ = enabled_ && session_.WaitForSnapshotEvent(seen, kEventWait);
}

std::string BulkButton::Summary() const {
  if (!pressed_) return {};
  const std::string pressed = "snapshot button pressed after frame " + std::to_string(pressAt_);
  if (!enabled_) return pressed + "; the driver offers no snapshot event";
  return pressed + (signalled_ ? "; the snapshot event reached the client"
                               : "; no snapshot event reached the client");
}

}  // namespace veltocam::app
