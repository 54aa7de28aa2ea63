// The sensor's exposure set-up at stream start: the controller's automatic
// exposure measurement windows for the output size, then an initial exposure
// value loaded into the sensor through the controller's sensor-access
// registers. Runs once, at passive level, before capture begins.
#pragma once

#include "control/devicecontext.h"

void InitSensorAe(DeviceContext* context);
