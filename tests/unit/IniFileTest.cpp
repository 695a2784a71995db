// Our INI module: the reading rules of the Windows profile functions, and
// writes that change nothing but the key's own line.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>

#include "config/IniFile.h"

namespace orvella {
namespace {

TEST(IniFileTest, ReadsLikeTheProfileFunctions) {
  const IniFile ini(
      "\xEF\xBB\xBF[Camera 1]\r\n"
      "; width=1\r\n"
      "  WIDTH = 800 \r\n"
      "ImageUrl=\"http://h/a.jpg\"\r\n"
      "height=\r\n"
      "Grayscale\r\n"
      "[camera 1]\r\n"
      "RefreshRate=9\r\n"
      "[Camera 2]\r"
      "width=100");
  EXPECT_EQ(800, ini.GetInt("camera 1", "width", -1)) << "case-insensitive, blanks dropped, BOM skipped";
  EXPECT_EQ("http://h/a.jpg", ini.GetString("Camera 1", "imageurl", "")) << "matching quotes dropped";
  EXPECT_EQ(-1, ini.GetInt("Camera 1", "RefreshRate", -1)) << "only the first of two same-named sections counts";
  EXPECT_EQ(-1, ini.GetInt("Camera 1", "height", -1)) << "an empty number reads as the default";
  EXPECT_EQ("", ini.GetString("Camera 1", "height", "x")) << "an empty text is a text";
  EXPECT_EQ("d", ini.GetString("Camera 1", "Grayscale", "d")) << "a key without '=' has no value";
  EXPECT_EQ(100, ini.GetInt("Camera 2", "width", -1)) << "a lone CR ends a line too";
  EXPECT_EQ(5, ini.GetInt("Camera 3", "width", 5));
  EXPECT_EQ("u", ini.GetString("Camera 2", "ImageUrl", "u"));
  EXPECT_EQ(7, IniFile().GetInt("Camera 1", "width", 7));
}

TEST(IniFileTest, IntegersReadBackWhatPercentDWrote) {
  for (int v : {0, 1, -7, 1600, INT_MAX, INT_MIN}) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", v);
    EXPECT_EQ(v, ParseIniInt(text)) << text;
    IniFile ini;
    ini.SetString("S", "k", text);
    EXPECT_EQ(v, ini.GetInt("S", "k", 42)) << text;
  }
  // Not plain numbers: leading blanks, a sign, leading digits, else 0.
  EXPECT_EQ(12, ParseIniInt(" \t12abc"));
  EXPECT_EQ(5, ParseIniInt("+5"));
  EXPECT_EQ(-3, ParseIniInt("-3.9"));
  EXPECT_EQ(0, ParseIniInt("abc"));
  EXPECT_EQ(0, ParseIniInt("-"));
  EXPECT_EQ(0, ParseIniInt("0x10"));
  EXPECT_EQ(INT_MAX, ParseIniInt("99999999999999999999"));
  EXPECT_EQ(INT_MIN, ParseIniInt("-99999999999999999999"));
}

TEST(IniFileTest, TextIsCutTo255Characters) {
  const std::string longText(300, 'u');
  IniFile ini;
  ini.SetString("S", "ImageUrl", longText);
  EXPECT_NE(std::string::npos, ini.Text().find(longText)) << "written whole";
  EXPECT_EQ(longText.substr(0, 255), ini.GetString("S", "ImageUrl", ""));
  EXPECT_EQ(longText.substr(0, 255), ini.GetString("S", "missing", longText)) << "the default is cut too";
}

TEST(IniFileTest, WritesChangeOnlyTheKeyLine) {
  IniFile fresh;
  fresh.SetString("Camera 1", "height", "480");
  fresh.SetString("Camera 1", "width", "640");
  fresh.SetString("Camera 2", "width", "1");
  EXPECT_EQ("[Camera 1]\nheight=480\nwidth=640\n[Camera 2]\nwidth=1\n", fresh.Text());

  const std::string before =
      "\xEF\xBB\xBF; settings\r\n"
      "[Other]\r\n"
      "x = 1 ; kept as is\r\n"
      "\r\n"
      "[camera 1]\r\n"
      "  Width = 640\r\n"
      "height=480\r\n"
      "\r\n"
      "; about Camera 2\r\n"
      "[Camera 2]\r\n"
      "width=1";
  IniFile ini(before);
  ASSERT_EQ(before, ini.Text()) << "parsing alone changes no byte";
  ini.SetString("Camera 1", "width", "640");
  ini.SetString("Camera 1", "height", "480");
  EXPECT_EQ(before, ini.Text()) << "the same values leave the file alone";
  EXPECT_FALSE(ini.Modified());

  ini.SetString("Camera 1", "width", "800");
  ini.SetString("Camera 1", "LogLevel", "2");
  ini.SetString("Camera 2", "height", "7");
  ini.SetString("Camera 3", "width", "9");
  EXPECT_TRUE(ini.Modified());
  EXPECT_EQ(
      "\xEF\xBB\xBF; settings\r\n"
      "[Other]\r\n"
      "x = 1 ; kept as is\r\n"
      "\r\n"
      "[camera 1]\r\n"
      "Width=800\r\n"
      "height=480\r\n"
      "LogLevel=2\r\n"
      "\r\n"
      "; about Camera 2\r\n"
      "[Camera 2]\r\n"
      "width=1\r\n"
      "height=7\r\n"
      "[Camera 3]\r\n"
      "width=9\r\n",
      ini.Text())
      << "in place, after the section's last key, with the file's own line ends";
}

TEST(IniFileTest, LineBreaksCannotAddKeysOrSections) {
  EXPECT_EQ("http://h/a.jpg", CutAtLineBreak("http://h/a.jpg\r\n[Camera 2]\r\nwidth=1"));
  EXPECT_EQ("a", CutAtLineBreak("a\nb"));
  EXPECT_EQ("a", CutAtLineBreak(std::string("a\0b", 3)));

  IniFile ini("[Camera 1]\nImageUrl=old\n");
  ini.SetString("Camera 1", "ImageUrl", "http://h/a.jpg\r\n[Camera 2]\r\nwidth=1");
  ini.SetString("Camera 1", "height", "1\rwidth=2");
  EXPECT_EQ("[Camera 1]\nImageUrl=http://h/a.jpg\nheight=1\n", ini.Text());

  // Names that would not read back as themselves are refused.
  for (const char* bad : {"", "a\nb", "a]", " a"}) EXPECT_FALSE(ini.SetString(bad, "k", "v")) << bad;
  for (const char* bad : {"", "a=b", "a\rb", ";a", "[a", "a "}) EXPECT_FALSE(ini.SetString("S", bad, "v")) << bad;
  EXPECT_EQ("[Camera 1]\nImageUrl=http://h/a.jpg\nheight=1\n", ini.Text());
}

}  // namespace
}  // namespace orvella
