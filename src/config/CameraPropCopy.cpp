#include "config/CameraPropCopy.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "config/CameraSettings.h"

namespace orvella {

namespace {

OrvellaIntValue ToValue(const Param<int>& p) {
  return {p.value.load(), p.minimum, p.maximum};
}

}  // namespace

void ToPropData(const CameraSettings& settings, OrvellaCameraPropData* data) {
  data->width = ToValue(settings.width);
  data->height = ToValue(settings.height);
  data->refreshRate = ToValue(settings.refreshRate);
  data->refreshRateUnit = ToValue(settings.refreshRateUnit);
  data->grayscale = ToValue(settings.grayscale);
  data->logLevel = ToValue(settings.logLevel);
  data->logIntoFile = ToValue(settings.logIntoFile);
  std::string url = settings.ImageUrl();
  if (url.size() > ORVELLA_URL_MAX_LENGTH) throw std::runtime_error("the image URL is too long for the dialog");
  std::memcpy(data->imageUrl, url.c_str(), url.size() + 1);
}

void FromPropData(const OrvellaCameraPropData& data, CameraSettings* settings) {
  settings->width.value = data.width.value;
  settings->height.value = data.height.value;
  settings->refreshRate.value = data.refreshRate.value;
  settings->refreshRateUnit.value = data.refreshRateUnit.value;
  settings->grayscale.value = data.grayscale.value;
  settings->logLevel.value = data.logLevel.value;
  settings->logIntoFile.value = data.logIntoFile.value;
  settings->SetImageUrl(data.imageUrl);
}

}  // namespace orvella
