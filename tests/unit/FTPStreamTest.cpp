// FTPStream: the IStream rules on content set in memory, then real downloads
// from the loopback HTTP and FTP servers (see tests/servers/http_server.py).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "acquisition/FTPStream.h"
#include "driver/Errors.h"
#include "support/Servers.h"

namespace orvella {
namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

LARGE_INTEGER Move(long long value) {
  LARGE_INTEGER move;
  move.QuadPart = value;
  return move;
}

// The /bytes content of the HTTP server: byte i is i % 251.
std::string Pattern(size_t n) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(i % 251);
  return out;
}

std::string Content(FTPStream& stream) {
  return std::string(reinterpret_cast<const char*>(stream.Data()), stream.Size());
}

// The text of what ReadFile raised, or "" when it succeeded; `isWin32` tells
// whether it was a Win32Exception.
std::string Failure(FTPStream& stream, const std::string& url, bool* isWin32 = nullptr) {
  if (isWin32) *isWin32 = false;
  try {
    stream.ReadFile(url.c_str());
  } catch (const Win32Exception& e) {
    if (isWin32) *isWin32 = true;
    return e.what();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// ---- Receive buffer --------------------------------------------------------

TEST(ReceiveBufferTest, OffsetsInsideTheCapacityOnly) {
  ReceiveBuffer buffer;
  ASSERT_EQ(102400, buffer.Capacity());
  EXPECT_EQ(buffer.At(0) + 102399, buffer.At(102399));
  for (int bad : {102400, 102401, -1}) {
    try {
      buffer.At(bad);
      ADD_FAILURE() << "offset " << bad << " accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ("Offset in receive buffer is invalid", e.what());
    }
  }
}

TEST(ReceiveBufferTest, GrowsByDoublingUpToTheLimitKeepingBytes) {
  ReceiveBuffer buffer;
  *buffer.At(102399) = 0x5A;
  buffer.Grow(1 << 30);
  EXPECT_EQ(204800, buffer.Capacity());
  EXPECT_EQ(0x5A, *buffer.At(102399));
  buffer.Grow(300000);
  EXPECT_EQ(300000, buffer.Capacity()) << "growth stops at the limit";
  buffer.Grow(300000);
  EXPECT_EQ(300000, buffer.Capacity());
}

// ---- IStream rules on in-memory content -------------------------------------

TEST(FTPStreamComTest, FreshStreamIsEmpty) {
  FTPStream stream;
  char byte = 0;
  ULONG read = 99;
  EXPECT_EQ(S_OK, stream.Read(&byte, 1, &read));
  EXPECT_EQ(0u, read);
  STATSTG stat;
  std::memset(&stat, 0xCC, sizeof stat);
  EXPECT_EQ(S_OK, stream.Stat(&stat, STATFLAG_DEFAULT));
  EXPECT_EQ(0u, stat.cbSize.QuadPart);
  for (DWORD origin : {STREAM_SEEK_SET, STREAM_SEEK_CUR, STREAM_SEEK_END})
    EXPECT_EQ(STG_E_INVALIDPOINTER, stream.Seek(Move(0), origin, nullptr)) << "origin " << origin;
}

TEST(FTPStreamComTest, QueryInterfaceAndReferenceCount) {
  FTPStream stream;
  EXPECT_EQ(E_POINTER, stream.QueryInterface(IID_IStream, nullptr));
  for (const IID* iid : {&IID_IUnknown, &IID_IStream}) {
    void* out = nullptr;
    EXPECT_EQ(S_OK, stream.QueryInterface(*iid, &out));
    EXPECT_EQ(static_cast<IStream*>(&stream), out);
    EXPECT_EQ(1u, stream.Release()) << "QueryInterface took one reference";
  }
  void* out = &stream;
  EXPECT_EQ(E_NOINTERFACE, stream.QueryInterface(IID_ISequentialStream, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(2u, stream.AddRef());
  EXPECT_EQ(1u, stream.Release());
}

TEST(FTPStreamComTest, LastReleaseFreesTheStream) {
  // Handed to COM ownership: the final Release deletes it (ASan checks).
  FTPStream* stream = std::make_unique<FTPStream>().release();
  stream->SetContent("abc", 3);
  stream->AddRef();
  EXPECT_EQ(1u, stream->Release());
  EXPECT_EQ(0u, stream->Release());
}

TEST(FTPStreamComTest, UnsupportedOperationsTouchNothing) {
  FTPStream stream;
  stream.SetContent("abcdef", 6);
  ULONG count = 77;
  ULARGE_INTEGER size;
  size.QuadPart = 5;
  ULARGE_INTEGER a, b;
  a.QuadPart = 11;
  b.QuadPart = 12;
  IStream* clone = reinterpret_cast<IStream*>(&count);
  EXPECT_EQ(E_NOTIMPL, stream.Write("x", 1, &count));
  EXPECT_EQ(E_NOTIMPL, stream.SetSize(size));
  EXPECT_EQ(E_NOTIMPL, stream.CopyTo(&stream, size, &a, &b));
  EXPECT_EQ(E_NOTIMPL, stream.Commit(0));
  EXPECT_EQ(E_NOTIMPL, stream.Revert());
  EXPECT_EQ(E_NOTIMPL, stream.LockRegion(a, b, 0));
  EXPECT_EQ(E_NOTIMPL, stream.UnlockRegion(a, b, 0));
  EXPECT_EQ(E_NOTIMPL, stream.Clone(&clone));
  EXPECT_EQ(77u, count);
  EXPECT_EQ(11u, a.QuadPart);
  EXPECT_EQ(12u, b.QuadPart);
  EXPECT_EQ(reinterpret_cast<IStream*>(&count), clone);
  EXPECT_EQ("abcdef", Content(stream));
}

TEST(FTPStreamComTest, ReadReturnsWhatIsLeft) {
  FTPStream stream;
  stream.SetContent("0123456789", 10);
  char out[32] = {};
  ULONG read = 0;
  EXPECT_EQ(S_OK, stream.Read(out, 4, &read));
  EXPECT_EQ(4u, read);
  EXPECT_EQ(S_OK, stream.Read(out, sizeof out, &read));
  EXPECT_EQ(6u, read);
  EXPECT_EQ(0, std::memcmp(out, "456789", 6));
  EXPECT_EQ(S_OK, stream.Read(out, sizeof out, &read));
  EXPECT_EQ(0u, read);
  EXPECT_EQ(S_OK, stream.Read(out, 1, nullptr)) << "the count pointer is optional";
}

TEST(FTPStreamComTest, SeekStaysInsideTheContent) {
  FTPStream stream;
  stream.SetContent("0123456789", 10);
  ULARGE_INTEGER at;
  char c = 0;

  EXPECT_EQ(S_OK, stream.Seek(Move(-1), STREAM_SEEK_END, &at));
  EXPECT_EQ(9u, at.QuadPart);
  stream.Read(&c, 1, nullptr);
  EXPECT_EQ('9', c) << "END - 1 is the last byte";

  EXPECT_EQ(S_OK, stream.Seek(Move(9), STREAM_SEEK_SET, &at));
  EXPECT_EQ(9u, at.QuadPart);
  EXPECT_EQ(S_OK, stream.Seek(Move(-4), STREAM_SEEK_CUR, &at));
  EXPECT_EQ(5u, at.QuadPart);

  // Refusals: position unchanged, 0 in the out value.
  const struct {
    long long move;
    DWORD origin;
  } refused[] = {{0, STREAM_SEEK_END},
                 {10, STREAM_SEEK_SET},
                 {-1, STREAM_SEEK_SET},
                 {1LL << 32, STREAM_SEEK_SET},
                 {5, STREAM_SEEK_CUR},
                 {-6, STREAM_SEEK_CUR},
                 {(1LL << 32) + 1, STREAM_SEEK_CUR},
                 {-11, STREAM_SEEK_END}};
  for (const auto& r : refused) {
    at.QuadPart = 1234;
    EXPECT_EQ(STG_E_INVALIDPOINTER, stream.Seek(Move(r.move), r.origin, &at)) << r.move << " from " << r.origin;
    EXPECT_EQ(0u, at.QuadPart);
  }
  at.QuadPart = 1234;
  EXPECT_EQ(STG_E_INVALIDFUNCTION, stream.Seek(Move(0), 3, &at));
  EXPECT_EQ(0u, at.QuadPart);
  stream.Read(&c, 1, nullptr);
  EXPECT_EQ('5', c) << "refused seeks left the position alone";
}

TEST(FTPStreamComTest, StatDescribesTheContentWhateverTheFlags) {
  FTPStream stream;
  stream.SetContent("hello", 5);
  STATSTG plain, noName;
  std::memset(&plain, 0xCC, sizeof plain);
  std::memset(&noName, 0x33, sizeof noName);
  ASSERT_EQ(S_OK, stream.Stat(&plain, STATFLAG_DEFAULT));
  ASSERT_EQ(S_OK, stream.Stat(&noName, STATFLAG_NONAME));
  EXPECT_EQ(0, std::memcmp(&plain, &noName, sizeof plain));
  EXPECT_EQ(nullptr, plain.pwcsName);
  EXPECT_EQ(static_cast<DWORD>(STGTY_STREAM), plain.type);
  EXPECT_EQ(5u, plain.cbSize.QuadPart);
  EXPECT_NE(0u, plain.mtime.dwHighDateTime);
  EXPECT_EQ(0, std::memcmp(&plain.mtime, &plain.ctime, sizeof(FILETIME)));
  EXPECT_EQ(0, std::memcmp(&plain.mtime, &plain.atime, sizeof(FILETIME)));
  EXPECT_TRUE(plain.clsid == CLSID_NULL);
  EXPECT_EQ(0u, plain.grfMode | plain.grfLocksSupported | plain.grfStateBits | plain.reserved);
}

TEST(FTPStreamComTest, SetContentGrowsLikeADownload) {
  FTPStream stream;
  const std::string bytes = Pattern(102400);
  stream.SetContent(bytes.data(), bytes.size());
  EXPECT_EQ(204800, stream.Buffer().Capacity()) << "a full buffer doubles before the final empty read";
  EXPECT_EQ(bytes, Content(stream));
  stream.SetContent("", 0);
  EXPECT_EQ(0u, stream.Size());
  EXPECT_EQ(204800, stream.Buffer().Capacity()) << "the buffer never shrinks";
}

// ---- Downloads from the loopback servers -------------------------------------

class FTPStreamDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ORVELLA_REQUIRE_SERVERS();
    stream.OpenSession();
  }
  FTPStream stream;
};

TEST_F(FTPStreamDownloadTest, WithoutSessionNothingIsRead) {
  FTPStream closed;
  EXPECT_EQ(FTPStream::kNoSessionText, Failure(closed, test::HttpUrl("/bytes/10")));
  stream.CloseSession();
  EXPECT_FALSE(stream.IsSessionOpen());
  EXPECT_EQ(FTPStream::kNoSessionText, Failure(stream, test::HttpUrl("/bytes/10")));
  stream.OpenSession();
  EXPECT_EQ("", Failure(stream, test::HttpUrl("/bytes/10")));
}

TEST_F(FTPStreamDownloadTest, OnlyStatuses200To299PassAndARefusalNamesItsStatus) {
  const std::pair<int, const char*> refusals[] = {{199, "File not available (HTTP 199)"},
                                                  {300, "File not available (HTTP 300 Multiple Choices)"},
                                                  {404, "File not available (HTTP 404 Not Found)"},
                                                  {500, "File not available (HTTP 500 Internal Server Error)"}};
  for (const auto& [status, text] : refusals) {
    bool win32 = true;
    EXPECT_EQ(text, Failure(stream, test::HttpUrl("/status/" + std::to_string(status)), &win32));
    EXPECT_FALSE(win32) << "status " << status << " is a plain runtime_error";
  }
  for (int status : {200, 299}) {
    std::string path = "/status/" + std::to_string(status);
    EXPECT_EQ("", Failure(stream, test::HttpUrl(path))) << path;
    EXPECT_EQ("status " + std::to_string(status) + "\n", Content(stream));
  }
}

TEST_F(FTPStreamDownloadTest, WholeResourceInMemory) {
  ASSERT_EQ("", Failure(stream, test::HttpUrl("/bytes/102400")));
  EXPECT_EQ(102400u, stream.Size());
  EXPECT_EQ(204800, stream.Buffer().Capacity());
  EXPECT_EQ(Pattern(102400), Content(stream));

  ASSERT_EQ("", Failure(stream, test::HttpUrl("/bytes/1000")));
  EXPECT_EQ(Pattern(1000), Content(stream));
  EXPECT_EQ(204800, stream.Buffer().Capacity()) << "kept for the next download";

  ASSERT_EQ("", Failure(stream, test::HttpUrl("/redirect?to=/bytes/5")));
  EXPECT_EQ(Pattern(5), Content(stream)) << "redirects are followed";

  ASSERT_EQ("", Failure(stream, test::HttpUrl("/html")));
  EXPECT_NE(std::string::npos, Content(stream).find("<html>")) << "content is not judged here";
}

TEST_F(FTPStreamDownloadTest, EmptyBody) {
  ASSERT_EQ("", Failure(stream, test::HttpUrl("/empty")));
  EXPECT_EQ(0u, stream.Size());
  char byte;
  ULONG read = 5;
  EXPECT_EQ(S_OK, stream.Read(&byte, 1, &read));
  EXPECT_EQ(0u, read);
  EXPECT_EQ(STG_E_INVALIDPOINTER, stream.Seek(Move(0), STREAM_SEEK_SET, nullptr));
}

TEST_F(FTPStreamDownloadTest, FtpWithAndWithoutLogin) {
  const std::string bytes = Pattern(3000);
  ASSERT_TRUE(test::WriteDataFile("ftpstream.bin", bytes));
  ASSERT_EQ("", Failure(stream, test::FtpUrl("ftpstream.bin", "user", "pass")));
  EXPECT_EQ(bytes, Content(stream));
  stream.SetContent("", 0);
  ASSERT_EQ("", Failure(stream, test::FtpUrl("ftpstream.bin")));
  EXPECT_EQ(bytes, Content(stream));

  bool win32 = false;
  std::string text = Failure(stream, test::FtpUrl("no-such-file.bin", "user", "pass"), &win32);
  EXPECT_TRUE(win32) << text;
  EXPECT_NE("", text);
  EXPECT_NE("Win32 error", text);
  EXPECT_EQ("", Failure(stream, test::FtpUrl("ftpstream.bin", "user", "pass"))) << "the session survives a failure";
}

TEST_F(FTPStreamDownloadTest, BrokenTransfersFail) {
  bool win32 = false;
  EXPECT_NE("", Failure(stream, test::HttpUrl("/bytes/100000?truncate=1000"), &win32)) << "connection dropped mid-body";
  EXPECT_TRUE(win32);
  EXPECT_EQ("", Failure(stream, test::HttpUrl("/bytes/10"))) << "the next download is unaffected";
  EXPECT_EQ(Pattern(10), Content(stream));
}

TEST_F(FTPStreamDownloadTest, RefusedConnectionFailsAtOnce) {
  const Clock::time_point start = Clock::now();
  bool win32 = false;
  std::string text = Failure(stream, "http://127.0.0.1:1/x", &win32);
  EXPECT_TRUE(win32);
  EXPECT_NE("", text);
  EXPECT_LT(MsSince(start), 2000) << text;
}

TEST_F(FTPStreamDownloadTest, ConnectionTimeoutBoundsConnectingAndTheHandshakeNotTheAnswer) {
  stream.SetConnectionTimeout(500);
  // A server that takes the connection and never says a word: the TLS
  // handshake never ends.
  const std::string silent = test::RawHttpGet(test::HttpPort(), "/_silentport");
  const std::string port = silent.substr(silent.find("port=") + 5);
  const Clock::time_point start = Clock::now();
  bool win32 = false;
  std::string text = Failure(stream, "https://127.0.0.1:" + std::to_string(std::stoi(port)) + "/x", &win32);
  long ms = MsSince(start);
  EXPECT_TRUE(win32);
  EXPECT_NE(std::string::npos, text.find("timed out")) << text;
  EXPECT_NE(std::string::npos, text.find("(ConnectionTimeout)")) << text;
  EXPECT_GE(ms, 450);
  EXPECT_LT(ms, 1500);
  EXPECT_EQ("", Failure(stream, test::HttpUrl("/bytes/10?delay=1500"))) << "an answer slower than ConnectionTimeout";
  EXPECT_EQ(Pattern(10), Content(stream));
}

TEST_F(FTPStreamDownloadTest, StalledTransferTimesOutSlowOneCompletes) {
  EXPECT_EQ("", Failure(stream, test::HttpUrl("/bytes/20000?drip=100&chunk=2500"))) << "slow but steady";
  EXPECT_EQ(Pattern(20000), Content(stream));

  const Clock::time_point start = Clock::now();
  std::string text = Failure(stream, test::HttpUrl("/bytes/100000?stall=2000"));
  long ms = MsSince(start);
  EXPECT_NE(std::string::npos, text.find("timed out")) << text;
  EXPECT_GE(ms, FTPStream::kStallTimeoutMs - 100);
  EXPECT_LT(ms, FTPStream::kStallTimeoutMs + 1500);
}

TEST_F(FTPStreamDownloadTest, AbortFromAnotherThread) {
  stream.SetConnectionTimeout(10000);
  for (const char* path : {"/hang", "/bytes/100000?stall=10"}) {
    stream.OpenSession();
    std::thread aborter([this] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      stream.Abort();
    });
    const Clock::time_point start = Clock::now();
    std::string text = Failure(stream, test::HttpUrl(path));
    long ms = MsSince(start);
    aborter.join();
    EXPECT_EQ(FTPStream::kAbortedText, text) << path;
    EXPECT_LT(ms, 800) << path << ": the abort came after 300 ms";
    EXPECT_FALSE(stream.IsSessionOpen());
    EXPECT_EQ(FTPStream::kAbortedText, Failure(stream, test::HttpUrl("/bytes/10"))) << "until reopened";
  }
  stream.OpenSession();
  EXPECT_TRUE(stream.IsSessionOpen());
  EXPECT_EQ("", Failure(stream, test::HttpUrl("/bytes/10"))) << "the server is reachable again";
  EXPECT_EQ(Pattern(10), Content(stream));
}

TEST_F(FTPStreamDownloadTest, OversizedBodyIsRefused) {
  const std::string big = std::to_string(FTPStream::kMaxContentSize + 1);
  EXPECT_EQ(FTPStream::kTooLargeText, Failure(stream, test::HttpUrl("/bytes/" + big))) << "announced size";
  EXPECT_EQ(FTPStream::kTooLargeText, Failure(stream, test::HttpUrl("/bytes/" + big + "?nolength=1")))
      << "size found while reading";
  EXPECT_LE(stream.Buffer().Capacity(), FTPStream::kMaxContentSize + 1);
  EXPECT_EQ("", Failure(stream, test::HttpUrl("/bytes/10")));
}

TEST_F(FTPStreamDownloadTest, KeepAliveReusesTheConnection) {
  ASSERT_EQ("", Failure(stream, test::HttpUrl("/bytes/10")));  // the connection to reuse
  const int before = test::HttpConnectionCount();
  ASSERT_GE(before, 1);
  for (int i = 0; i < 5; ++i) ASSERT_EQ("", Failure(stream, test::HttpUrl("/bytes/50000")));
  EXPECT_EQ(before, test::HttpConnectionCount()) << "five downloads, no new connection";
}

}  // namespace
}  // namespace orvella
