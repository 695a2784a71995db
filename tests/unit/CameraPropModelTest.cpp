// The settings dialog's model against an in-memory view that, like the real
// toolkits, reports every change of an edit box's text, also its own.
#include <gtest/gtest.h>

#include <climits>
#include <initializer_list>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "config/CameraPropCopy.h"
#include "config/CameraPropModel.h"
#include "config/CameraSettings.h"

namespace orvella {
namespace {

class FakeView final : public CameraPropView {
 public:
  std::string GetText(int id) override { return texts[id]; }
  void SetText(int id, const char* text) override {
    texts[id] = text;
    if (model && CameraPropModel::IsEditBox(id) && model->OnControlChanged(id)) ++changesRun;
  }
  bool IsChecked(int id) override { return checks[id]; }
  void SetChecked(int id, bool checked) override { checks[id] = checked; }
  void EnableOk(bool enabled) override { okEnabled = enabled; }
  void SetStatus(const char* text) override { status = text; }

  // The user types into a box, or clicks a check box.
  void Type(int id, const char* text) { SetText(id, text); }
  void Tick(int id, bool checked) {
    checks[id] = checked;
    if (model && model->OnControlChanged(id)) ++changesRun;
  }

  CameraPropModel* model = nullptr;
  std::map<int, std::string> texts;
  std::map<int, bool> checks;
  bool okEnabled = false;
  std::string status = "untouched";
  int changesRun = 0;
};

class CameraPropModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ToPropData(CameraSettings(), data.get());
    view.model = &model;
    model.InitControls();
  }

  // Types each text into its box, then checks the status line and OK.
  struct Typing {
    int control;
    const char* text;
    const char* status;
    bool okEnabled;
  };
  void TypeAndExpect(std::initializer_list<Typing> steps) {
    for (const Typing& t : steps) {
      view.Type(t.control, t.text);
      EXPECT_EQ(view.status, t.status) << "after typing " << t.text;
      EXPECT_EQ(view.okEnabled, t.okEnabled) << "after typing " << t.text;
    }
  }

  std::unique_ptr<OrvellaCameraPropData> data = std::make_unique<OrvellaCameraPropData>();
  FakeView view;
  CameraPropModel model{data.get(), &view};
};

TEST_F(CameraPropModelTest, DefaultsShowTheirValuesRangesAndAnEnabledOk) {
  EXPECT_EQ(view.texts[IDC_IMAGE_URL], CameraSettings::kDefaultImageUrl);
  EXPECT_EQ(view.texts[IDC_REFRESH_RATE_UNIT], "1");
  EXPECT_EQ(view.texts[IDC_REFRESH_RATE], "2");
  EXPECT_EQ(view.texts[IDC_WIDTH], "640");
  EXPECT_EQ(view.texts[IDC_HEIGHT], "480");
  EXPECT_FALSE(view.checks[IDC_GRAYSCALE]);
  EXPECT_EQ(view.texts[IDC_LOG_LEVEL], "1");
  EXPECT_FALSE(view.checks[IDC_LOG_INTO_FILE]);
  EXPECT_EQ(view.texts[IDC_LOG_LEVEL_RANGE], "[0 ... 4]");
  EXPECT_EQ(view.texts[IDC_REFRESH_RATE_RANGE], "[1 ... 60] per Unit");
  EXPECT_EQ(view.texts[IDC_REFRESH_RATE_UNIT_RANGE], "[1 ... 60] s");
  EXPECT_EQ(view.status, "");
  EXPECT_TRUE(view.okEnabled);
  EXPECT_EQ(view.changesRun, 0) << "filling the boxes must not run the change handler";
}

TEST_F(CameraPropModelTest, EmptyUrlDisablesOkUntilOneCharacterIsTyped) {
  view.Type(IDC_IMAGE_URL, "");
  EXPECT_FALSE(view.okEnabled);
  EXPECT_EQ(view.status, "Please provide Share Name");
  view.Type(IDC_IMAGE_URL, "f");
  EXPECT_TRUE(view.okEnabled);
  EXPECT_EQ(view.status, "");
  EXPECT_STREQ(data->imageUrl, "f");
}

TEST_F(CameraPropModelTest, RangesAreInclusive) {
  TypeAndExpect({{IDC_WIDTH, "8193", "Image width not in range", false},
                 {IDC_WIDTH, "8192", "", true},
                 {IDC_HEIGHT, "-1", "Image height not in range", false},
                 {IDC_HEIGHT, "8192", "", true},
                 {IDC_REFRESH_RATE_UNIT, "61", "Image refresh rate multiplier not in range", false},
                 {IDC_REFRESH_RATE_UNIT, "60", "", true}});
}

TEST_F(CameraPropModelTest, LastFailingCheckNamesTheProblem) {
  TypeAndExpect({{IDC_LOG_LEVEL, "5", "Log level not in range", false},
                 {IDC_REFRESH_RATE, "0", "Image refresh rate not in range", false},
                 {IDC_REFRESH_RATE, "3", "Log level not in range", false}});
  EXPECT_FALSE(model.OnOk()) << "a forged OK click must not pass a failing check";
  TypeAndExpect({{IDC_LOG_LEVEL, "4", "", true}});
}

TEST_F(CameraPropModelTest, LettersInAnIntegerBoxReadAsZero) {
  view.Type(IDC_HEIGHT, "abc");
  EXPECT_EQ(data->height.value, 0);
  EXPECT_TRUE(view.okEnabled);
  view.Type(IDC_REFRESH_RATE, "x");
  EXPECT_EQ(view.status, "Image refresh rate not in range") << "0 is below RefreshRate's minimum";
  view.Type(IDC_REFRESH_RATE, "7 per second");
  EXPECT_TRUE(model.OnOk());
  EXPECT_EQ(data->height.value, 0);
  EXPECT_EQ(data->refreshRate.value, 7);
}

TEST_F(CameraPropModelTest, CheckBoxesRunNoChecksAndAreReadWithTheNextChange) {
  view.Type(IDC_WIDTH, "1601");
  view.status = "marker";
  int before = view.changesRun;
  view.Tick(IDC_GRAYSCALE, true);
  view.Tick(IDC_LOG_INTO_FILE, true);
  EXPECT_EQ(view.changesRun, before);
  EXPECT_EQ(view.status, "marker");
  EXPECT_EQ(data->grayscale.value, 0);
  view.Type(IDC_WIDTH, "800");
  EXPECT_EQ(data->grayscale.value, 1);
  EXPECT_EQ(data->logIntoFile.value, 1);
  view.Tick(IDC_GRAYSCALE, false);
  EXPECT_TRUE(model.OnOk());
  EXPECT_EQ(data->grayscale.value, 0) << "OK reads the controls once more";
}

TEST(CameraPropModel, ParseIntReadsLikeAtoi) {
  const std::map<std::string, int> cases = {
      {"42", 42},
      {"  42abc", 42},
      {"\t\n 7", 7},
      {"-7", -7},
      {"+5", 5},
      {"", 0},
      {"abc", 0},
      {"- 5", 0},
      {"--5", 0},
      {"0x10", 0},
      {"2147483647", INT_MAX},
      {"-2147483648", INT_MIN},
      {"99999999999999999999", INT_MAX},
      {"-99999999999999999999", INT_MIN},
  };
  for (const auto& c : cases) EXPECT_EQ(CameraPropModel::ParseInt(c.first.c_str()), c.second) << '"' << c.first << '"';
}

TEST(CameraPropModel, StatusTextIsCutAt255Characters) {
  FakeView view;
  OrvellaCameraPropData data{};
  CameraPropModel model(&data, &view);
  model.SetStatusText("%s", std::string(300, 'x').c_str());
  EXPECT_EQ(view.status, std::string(255, 'x'));
}

TEST(CameraPropModel, CopyKeepsWhatTheDialogDoesNotShow) {
  CameraSettings settings;
  settings.connectionTimeout.value = 4321;
  settings.grayscale.value = 5;
  auto data = std::make_unique<OrvellaCameraPropData>();
  ToPropData(settings, data.get());
  FakeView view;
  CameraPropModel model(data.get(), &view);
  model.InitControls();
  EXPECT_TRUE(view.checks[IDC_GRAYSCALE]);
  view.texts[IDC_IMAGE_URL] = "http://127.0.0.1/a.jpg";
  ASSERT_TRUE(model.OnOk());
  FromPropData(*data, &settings);
  EXPECT_EQ(settings.ImageUrl(), "http://127.0.0.1/a.jpg");
  EXPECT_EQ(settings.grayscale.value, 1);
  EXPECT_EQ(settings.connectionTimeout.value, 4321);
  EXPECT_EQ(settings.width.maximum, 8192);

  settings.SetImageUrl(std::string(ORVELLA_URL_MAX_LENGTH + 1, 'u'));
  EXPECT_THROW(ToPropData(settings, data.get()), std::runtime_error) << "a URL must never be shown cut";
}

}  // namespace
}  // namespace orvella
