#include "control/vendorcommands.h"

#include "control/tracing.h"

namespace {

constexpr UCHAR kDirectionIn = 1;
constexpr UCHAR kDirectionOut = 0;
constexpr ULONG kPollIntervalMs = 10;

bool Accepted(NTSTATUS status) {
  return status == STATUS_SUCCESS || status == STATUS_PENDING;
}

// A camera that is no longer on the bus answers no request again: waiting
// for it only delays the stop and removal that follow an unplug.
bool CameraGone(NTSTATUS status) {
  return status == STATUS_DEVICE_NOT_CONNECTED;
}

NTSTATUS ReadIn(DeviceContext* context, UCHAR request, USHORT index, PVOID buffer, ULONG length) {
  return ControlRequest(context, request, 0, index, buffer, &length, kDirectionIn, nullptr,
                        nullptr);
}

// Polls one firmware status byte until its bit 0 is `wanted`. A round reads
// the status, gives up once the count is already above the limit, else
// counts and waits: 10 ms, or 10 ms more each round when backing off. A read
// that fails leaves the previous byte in `status`, so the poll goes on,
// unless the camera is gone: then it gives up at once, as at the limit.
ULONG PollStatus(DeviceContext* context, USHORT which, bool wanted, ULONG limit, bool backOff,
                 UCHAR* status) {
  NTSTATUS result = STATUS_SUCCESS;
  auto read = [&] { result = ReadIn(context, kRequestFirmwareStatus, which, status, 1); };
  auto reached = [&] { return ((*status & 1) != 0) == wanted; };
  ULONG count = 0;
  read();
  while (!reached()) {
    if (CameraGone(result)) return limit + 1;
    read();
    if (count > limit) break;
    ++count;
    DelayMs(backOff ? kPollIntervalMs * count : kPollIntervalMs);
  }
  return count;
}

}  // namespace

bool VendorRead(DeviceContext* context, UCHAR request, USHORT index, PVOID buffer, ULONG* length) {
  return Accepted(
      ControlRequest(context, request, 0, index, buffer, length, kDirectionIn, nullptr, nullptr));
}

bool VendorReadValue(DeviceContext* context, UCHAR request, USHORT index, USHORT value,
                     PVOID buffer, ULONG length) {
  return Accepted(ControlRequest(context, request, value, index, buffer, &length, kDirectionIn,
                                 nullptr, nullptr));
}

bool VendorCommandNoData(DeviceContext* context, UCHAR request, USHORT index, USHORT value) {
  return Accepted(ControlRequest(context, request, value, index, nullptr, nullptr, kDirectionOut,
                                 nullptr, nullptr));
}

bool VendorWrite(DeviceContext* context, UCHAR request, USHORT index, const void* buffer,
                 ULONG length) {
  // The service copies an outgoing buffer and never writes it.
  return Accepted(ControlRequest(context, request, 0, index, const_cast<void*>(buffer), &length,
                                 kDirectionOut, nullptr, nullptr));
}

bool VendorReadAsync(DeviceContext* context, UCHAR request, USHORT index, PVOID buffer,
                     ULONG* length, ControlRequestCompletion completion, PVOID completionContext) {
  return Accepted(ControlRequest(context, request, 0, index, buffer, length, kDirectionIn,
                                 completion, completionContext));
}

void DelayMs(ULONG milliseconds) {
  if (milliseconds == 0) return;
  const LONGLONG wanted = static_cast<LONGLONG>(milliseconds) * 10'000;
  LARGE_INTEGER start;
  KeQuerySystemTime(&start);
  for (;;) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    const LONGLONG elapsed = now.QuadPart - start.QuadPart;
    if (elapsed / 10'000 >= static_cast<LONGLONG>(milliseconds)) return;
    // Stalling for what is left keeps the spin short, and lets the host's
    // virtual clock move while it spins.
    KeStallExecutionProcessor(static_cast<ULONG>((wanted - elapsed + 9) / 10));
  }
}

ULONG VCwrite(DeviceContext* context, UCHAR request, USHORT index, USHORT value, USHORT,
              ULONG timeout, const char* name) {
  if (request == kCommandNotConfigured) return 0;
  UCHAR status = 0;
  auto fail = [&](const char* format, ULONG count) {
    DebugTrace(format, name, request, index, value, static_cast<int>(count));
    return 0u;
  };

  DelayMs(kPollIntervalMs);
  const ULONG c1 = PollStatus(context, kStatusIdle, false, timeout, false, &status);
  if (c1 >= timeout) {
    return fail("\n%s -> Check F/W idle FALSE(1). [VCwrite(%02x:%02x:%02x), Timeout(%d)]\n", c1);
  }

  VendorCommandNoData(context, request, index, value);

  const ULONG c2 = PollStatus(context, kStatusEvent, true, timeout, false, &status);
  if (c2 >= timeout) {
    return fail("\n%s -> Check F/W Event Busy FALSE. [VCwrite(%02x:%02x:%02x), Timeout(%d)]\n", c2);
  }

  const UCHAR clear = 0;
  VendorWrite(context, kRequestFirmwareStatus, kStatusEvent, &clear, 1);
  const ULONG c3 = PollStatus(context, kStatusEvent, false, timeout, false, &status);
  if (c3 >= timeout) {
    return fail("\n%s -> Check F/W Event Clear FALSE. [VCwrite(%02x:%02x:%02x), Timeout(%d)]\n",
                c3);
  }

  const ULONG c4 = PollStatus(context, kStatusIdle, false, timeout, true, &status);
  if (c4 >= timeout) {
    return fail("\n%s -> Check F/W idle FALSE (2). [VCwrite(%02x:%02x:%02x), Timeout(%d)]\n", c4);
  }

  DebugTrace("\n%s -> OK. [VCwrite(%02x:%02x:%02x), Timeout(%02d,%02d,%02d,%02d)]\n", name, request,
             index, value, static_cast<int>(c1), static_cast<int>(c2), static_cast<int>(c3),
             static_cast<int>(c4));
  return 1;
}

ULONG BurstWrite(DeviceContext* context, UCHAR request, USHORT index, USHORT, USHORT length,
                 UCHAR payload, ULONG timeout, const char* name) {
  if (request == kCommandNotConfigured) return 0;
  // A configured length beyond the read-back buffer is cut to it, so neither
  // the outgoing data nor the answer can run past a buffer.
  const ULONG size = length < kBurstBufferSize ? length : kBurstBufferSize;
  UCHAR data[kBurstBufferSize] = {payload};
  UCHAR readBack[kBurstBufferSize] = {};
  NTSTATUS read = STATUS_SUCCESS;
  auto readBackOnce = [&] { read = ReadIn(context, request, index, readBack, size); };

  VendorWrite(context, request, index, data, size);
  readBackOnce();
  ULONG n = 0;
  while (readBack[0] != payload) {
    if (CameraGone(read)) {
      n = timeout;  // nothing will match: give up as at the limit
      break;
    }
    VendorWrite(context, request, index, data, size);
    DelayMs(kPollIntervalMs);
    readBackOnce();
    if (n > timeout) break;
    ++n;
    DelayMs(kPollIntervalMs);
  }
  if (n < timeout) {
    DebugTrace("\n%s -> OK. [BurstWrite(%02x:%02x:%02x), Timeout(%d)]\n", name, request, index,
               payload, static_cast<int>(n));
    return 1;
  }
  DebugTrace("\n%s -> FALSE. [BurstWrite(%02x:%02x:%02x), Timeout(%d)]\n", name, request, index,
             payload, static_cast<int>(n));
  return 0;
}

bool RegisterWrite(DeviceContext* context, USHORT address, UCHAR value) {
  return VendorCommandNoData(context, kRequestRegister, address, value);
}

bool RegisterRead(DeviceContext* context, USHORT address, UCHAR* value) {
  return VendorReadValue(context, kRequestRegister, address, 0, value, 1);
}

ULONG SendCommand(DeviceContext* context, VendorCommandId command, const char* name) {
  const VendorCommandDescriptor& d = context->VendorCommand[command];
  if (d.Request == kCommandNotConfigured) return 0;
  return VCwrite(context, d.Request, d.Index, d.Value, d.Length, kCommandTimeout, name);
}

ULONG SendDataCommand(DeviceContext* context, VendorCommandId command, UCHAR payload,
                      const char* name) {
  const VendorCommandDescriptor& d = context->VendorCommand[command];
  if (d.Request == kCommandNotConfigured) return 0;
  return BurstWrite(context, d.Request, d.Index, d.Value, d.Length, payload, kCommandTimeout, name);
}
