// The tool's commands. Each returns the process exit status: 0 done, 1 bad
// arguments or an I/O error, 2 a damaged input that was still processed.
#pragma once

namespace veltocam::app {

int DecodeCommand(int argc, char** argv);
int EncodeCommand(int argc, char** argv);
int CaptureCommand(int argc, char** argv);
int FormatsCommand(int argc, char** argv);
int SnapshotCommand(int argc, char** argv);
int ControlsCommand(int argc, char** argv);
int SoakCommand(int argc, char** argv);

}  // namespace veltocam::app
