// Moves a camera's settings into the plain copy that the settings dialog
// edits, and back.
#pragma once

#include "config/CameraPropData.h"

namespace orvella {

class CameraSettings;

// Values and ranges. Raises std::runtime_error for a URL longer than an edit
// box holds, rather than show (and later save) a cut one.
void ToPropData(const CameraSettings& settings, OrvellaCameraPropData* data);
// Values only: the dialog never changes a range.
void FromPropData(const OrvellaCameraPropData& data, CameraSettings* settings);

}  // namespace orvella
