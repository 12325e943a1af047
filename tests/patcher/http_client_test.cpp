// The patcher's HTTP layer against a real server on 127.0.0.1 that answers
// well, badly, slowly or not at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "patcher/http_client.h"
#include "tests/patcher/patch_server_fixture.h"

using namespace quillon;

namespace {

class HttpClientTest : public quillon_test::PatchServerTest {
protected:
    void SetUp() override {
        PatchServerTest::SetUp();
        serve("allow.txt", "allow");
        serve("meta/1.txt", "REV:1\n");
    }
};

}  // namespace

TEST_F(HttpClientTest, FilesArriveWholeAndRedirectsAreFollowed) {
    HttpClient http;
    std::string body;
    EXPECT_EQ(http.fetch(m_base + "allow.txt", &body), HttpStatus::Ok);
    EXPECT_EQ(body, "allow");
    EXPECT_EQ(http.fetch(m_base + "meta/1.txt", &body), HttpStatus::Ok);
    EXPECT_EQ(body, "REV:1\n");
    EXPECT_EQ(http.fetch(m_base + "fault/redirect", &body), HttpStatus::Ok);
    EXPECT_EQ(body, "allow");
    // The server saw our user agent-free, query-free GETs in order.
    const std::string log = requests();
    EXPECT_NE(log.find("GET /allow.txt\nGET /meta/1.txt\nGET /fault/redirect\nGET /allow.txt\n"),
              std::string::npos)
        << log;
}

TEST_F(HttpClientTest, ErrorPagesAreFailuresNotContent) {
    HttpClient http;
    std::string body = "old";
    EXPECT_EQ(http.fetch(m_base + "missing.txt", &body), HttpStatus::HttpError);
    EXPECT_EQ(body, "");
    EXPECT_EQ(http.fetch(m_base + "fault/status500", &body), HttpStatus::HttpError);
}

TEST_F(HttpClientTest, BodiesWithoutAnHonestLengthAreRefused) {
    HttpClient http;
    std::string body;
    EXPECT_EQ(http.fetch(m_base + "fault/nolength", &body), HttpStatus::NoLength);
    EXPECT_EQ(http.fetch(m_base + "fault/empty", &body), HttpStatus::NoLength);
    EXPECT_EQ(http.fetch(m_base + "fault/truncated", &body), HttpStatus::ReadError);
    // Bytes past the announced length are not part of the body.
    EXPECT_EQ(http.fetch(m_base + "fault/longer", &body), HttpStatus::Ok);
    EXPECT_EQ(body, "lllll");
    // 2^40 announced: refused before a byte is stored, whatever arrives.
    body = "old";
    EXPECT_EQ(http.fetch(m_base + "fault/huge", &body), HttpStatus::TooLarge);
    EXPECT_TRUE(body.empty());
}

TEST_F(HttpClientTest, StalledBodyEndsAsAReadError) {
    HttpClient http;
    http.setStallTimeout(2);
    std::string body;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(http.fetch(m_base + "fault/stall", &body), HttpStatus::ReadError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST_F(HttpClientTest, ServerThatIsDownIsAConnectFailure) {
    m_server.reset();  // nothing listens on the port any more
    HttpClient http;
    std::string body;
    EXPECT_EQ(http.fetch(m_base + "allow.txt", &body), HttpStatus::ConnectFailed);
}

TEST_F(HttpClientTest, DownloadStreamsInSmallBlocksAfterTheLength) {
    std::string big(100000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    serve("big.bin", big);
    HttpClient http;
    std::uint64_t announced = 0;
    std::string got;
    std::size_t largest = 0;
    EXPECT_EQ(http.download(
                  m_base + "big.bin", 1 << 20,
                  [&](std::uint64_t length) {
                      announced = length;
                      return true;
                  },
                  [&](const std::uint8_t* data, std::size_t size) {
                      EXPECT_EQ(announced, big.size());  // the length comes first
                      largest = std::max(largest, size);
                      got.append(reinterpret_cast<const char*>(data), size);
                      return true;
                  }),
              HttpStatus::Ok);
    EXPECT_EQ(got, big);
    EXPECT_LE(largest, std::size_t{16384});
    // A sink that gives up stops the transfer.
    EXPECT_EQ(http.download(
                  m_base + "big.bin", 1 << 20, [](std::uint64_t) { return true; },
                  [](const std::uint8_t*, std::size_t) { return false; }),
              HttpStatus::Aborted);
}

TEST(PatchBaseUrl, EnvironmentOverridesTheBuiltInUrl) {
    setenv("QUILLON_BASE_URL", "http://staging.example/patch", 1);
    EXPECT_EQ(patchBaseUrl(), "http://staging.example/patch/");
    unsetenv("QUILLON_BASE_URL");
    const std::string builtIn = patchBaseUrl();
    EXPECT_EQ(builtIn.back(), '/');
    EXPECT_EQ(builtIn.rfind("http", 0), 0u);
}
