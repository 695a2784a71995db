#include "config/CameraPropModel.h"

#include <array>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "driver/NoCopy.h"

namespace orvella {

const char kConfigureRefusalText[] = "Please stop inspection to configure camera";
const char kMessageBoxCaption[] = "Orvella";

namespace {

// Restores `flag` when the exchange ends, also by an exception from a view.
class FlagGuard {
 public:
  explicit FlagGuard(bool& flag) : flag(flag), saved(flag) { flag = true; }
  ~FlagGuard() { flag = saved; }
  ORVELLA_NO_COPY(FlagGuard);

 private:
  bool& flag;
  bool saved;
};

bool OutOfRange(const OrvellaIntValue& v) {
  return v.value < v.minimum || v.value > v.maximum;
}

struct CheckResult {
  bool failed;
  const char* message;
};

// The checks in the order they run; a later failure's message wins.
std::array<CheckResult, 6> RunChecks(const OrvellaCameraPropData& d) {
  return {{
      {OutOfRange(d.logLevel), "Log level not in range"},
      {d.imageUrl[0] == '\0', "Please provide Share Name"},
      {OutOfRange(d.height), "Image height not in range"},
      {OutOfRange(d.width), "Image width not in range"},
      {OutOfRange(d.refreshRate), "Image refresh rate not in range"},
      {OutOfRange(d.refreshRateUnit), "Image refresh rate multiplier not in range"},
  }};
}

void FillInt(CameraPropView* view, int id, int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%d", value);
  view->SetText(id, text);
}

void FillRange(CameraPropView* view, int id, const char* format, const OrvellaIntValue& v) {
  char text[64];
  std::snprintf(text, sizeof text, format, v.minimum, v.maximum);
  view->SetText(id, text);
}

}  // namespace

CameraPropModel::CameraPropModel(OrvellaCameraPropData* data, CameraPropView* view) : data(data), view(view) {}

void CameraPropModel::ExchangeData(bool save) {
  FlagGuard guard(exchanging);
  if (save) {
    std::string url = view->GetText(IDC_IMAGE_URL);
    size_t n = url.size() < ORVELLA_URL_MAX_LENGTH ? url.size() : ORVELLA_URL_MAX_LENGTH;
    std::memcpy(data->imageUrl, url.data(), n);
    data->imageUrl[n] = '\0';
    data->height.value = ParseInt(view->GetText(IDC_HEIGHT).c_str());
    data->width.value = ParseInt(view->GetText(IDC_WIDTH).c_str());
    data->grayscale.value = view->IsChecked(IDC_GRAYSCALE) ? 1 : 0;
    data->refreshRate.value = ParseInt(view->GetText(IDC_REFRESH_RATE).c_str());
    data->refreshRateUnit.value = ParseInt(view->GetText(IDC_REFRESH_RATE_UNIT).c_str());
    data->logLevel.value = ParseInt(view->GetText(IDC_LOG_LEVEL).c_str());
    data->logIntoFile.value = view->IsChecked(IDC_LOG_INTO_FILE) ? 1 : 0;
  } else {
    view->SetText(IDC_IMAGE_URL, data->imageUrl);
    FillInt(view, IDC_HEIGHT, data->height.value);
    FillInt(view, IDC_WIDTH, data->width.value);
    view->SetChecked(IDC_GRAYSCALE, data->grayscale.value != 0);
    FillInt(view, IDC_REFRESH_RATE, data->refreshRate.value);
    FillInt(view, IDC_REFRESH_RATE_UNIT, data->refreshRateUnit.value);
    FillInt(view, IDC_LOG_LEVEL, data->logLevel.value);
    view->SetChecked(IDC_LOG_INTO_FILE, data->logIntoFile.value != 0);
  }
}

void CameraPropModel::InitControls() {
  ExchangeData(false);
  OnChange();
}

bool CameraPropModel::OnControlChanged(int id) {
  if (exchanging || !IsEditBox(id)) return false;
  OnChange();
  return true;
}

void CameraPropModel::OnChange() {
  ExchangeData(true);
  FillRange(view, IDC_LOG_LEVEL_RANGE, "[%d ... %d]", data->logLevel);
  FillRange(view, IDC_REFRESH_RATE_RANGE, "[%d ... %d] per Unit", data->refreshRate);
  FillRange(view, IDC_REFRESH_RATE_UNIT_RANGE, "[%d ... %d] s", data->refreshRateUnit);
  bool allPassed = true;
  for (const CheckResult& c : RunChecks(*data)) {
    if (!c.failed) continue;
    SetStatusText("%s", c.message);
    allPassed = false;
  }
  view->EnableOk(allPassed);
  if (allPassed) view->SetStatus("");
}

bool CameraPropModel::OnOk() {
  ExchangeData(true);
  return Check(*data) == nullptr;
}

void CameraPropModel::SetStatusText(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  view->SetStatus(text);
}

int CameraPropModel::ParseInt(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long magnitude = 0;
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > limit) magnitude = limit;  // stays clear of overflow for any number of digits
  }
  return static_cast<int>(negative ? -magnitude : magnitude);
}

const char* CameraPropModel::Check(const OrvellaCameraPropData& data) {
  const char* last = nullptr;
  for (const CheckResult& c : RunChecks(data))
    if (c.failed) last = c.message;
  return last;
}

bool CameraPropModel::IsEditBox(int id) {
  switch (id) {
    case IDC_IMAGE_URL:
    case IDC_HEIGHT:
    case IDC_WIDTH:
    case IDC_REFRESH_RATE:
    case IDC_REFRESH_RATE_UNIT:
    case IDC_LOG_LEVEL:
      return true;
    default:
      return false;
  }
}

}  // namespace orvella
