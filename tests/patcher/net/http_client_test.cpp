// The patcher's HTTP layer against a real server on 127.0.0.1 that answers
// well, badly, slowly or not at all.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <clocale>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "patcher/net/http_client.h"
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
    // We ask for no encoding: gzip bytes are not the file.
    EXPECT_EQ(http.fetch(m_base + "fault/gzip", &body), HttpStatus::Encoded);
    // A coding's name is read without regard to case, also under the
    // Turkish LC_CTYPE the launcher's window brings, where "I" lowers to no "i".
    const std::string before = std::setlocale(LC_CTYPE, nullptr);
    for (const char* locale : {"C", "tr_TR.UTF-8"}) {
        if (!std::setlocale(LC_CTYPE, locale)) {
            ADD_FAILURE() << locale << " is not installed (scripts/install-deps.sh)";
            continue;
        }
        EXPECT_EQ(http.fetch(m_base + "fault/IDENTITY", &body), HttpStatus::Ok) << locale;
        EXPECT_EQ(body, "plain") << locale;
    }
    std::setlocale(LC_CTYPE, before.c_str());
    // Nor is a part we never asked for; the whole file in a 206 is.
    EXPECT_EQ(http.fetch(m_base + "fault/partial", &body), HttpStatus::HttpError);
    EXPECT_EQ(http.fetch(m_base + "fault/whole206", &body), HttpStatus::Ok);
    EXPECT_EQ(body, std::string(100, 'w'));
}

TEST_F(HttpClientTest, HttpsIsNeverRedirectedDownToHttp) {
    const quask_test::RunResult cert = quask_test::runToEnd(
        {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
         "-keyout", at("key.pem"), "-out", at("cert.pem")},
        m_dir, 60000);
    ASSERT_EQ(cert.code, 0) << cert.err;
    std::string secure;
    auto tls = quillon_test::startPatchServer(at("www"), at("tls"), {"--tls", at("cert.pem"), at("key.pem")},
                                              &secure);
    ASSERT_FALSE(secure.empty()) << quask_test::readFile(at("tls.err"));
    HttpClient http;
    http.setCaFile(at("cert.pem"));
    std::string body;
    ASSERT_EQ(http.fetch(secure + "allow.txt", &body), HttpStatus::Ok);
    EXPECT_EQ(body, "allow");
    EXPECT_EQ(http.fetch(secure + "fault/to/" + secure + "meta/1.txt", &body), HttpStatus::Ok);
    EXPECT_EQ(body, "REV:1\n");
    const std::string before = requests();
    EXPECT_EQ(http.fetch(secure + "fault/to/" + m_base + "allow.txt", &body), HttpStatus::HttpError);
    EXPECT_EQ(body, "");
    // The plain server never heard of it; plain http may still go anywhere.
    EXPECT_EQ(requests().substr(before.size()).find("GET /allow.txt"), std::string::npos);
    EXPECT_EQ(http.fetch(m_base + "fault/to/" + secure + "allow.txt", &body), HttpStatus::Ok);
}

TEST(UrlPath, EveryByteButTheUnreservedOnesIsEncoded) {
    const std::pair<const char*, const char*> cases[] = {
        {"/data/maps/one.map", "/data/maps/one.map"},
        {"/a b/c.txt", "/a%20b/c.txt"},
        {"/why?.txt", "/why%3F.txt"},
        {"/#1", "/%231"},
        {"/100%", "/100%25"},
        {"/t~e-s_t.", "/t~e-s_t."},
        {"/caf\xC3\xA9+&=", "/caf%C3%A9%2B%26%3D"},
    };
    for (const auto& [name, path] : cases) EXPECT_EQ(encodeUrlPath(name), path) << name;
}

TEST(ContentRange, OnlyAKnownRangeInsideItsFileIsTaken) {
    struct Case {
        const char* value;
        bool ok;
        std::uint64_t first, last, total;
    };
    const Case cases[] = {
        {"bytes 0-9/10", true, 0, 9, 10},
        {"bytes 65536-199999/200000", true, 65536, 199999, 200000},
        {"bytes 5-4/10", false, 0, 0, 0},             // ends before it starts
        {"bytes 0-10/10", false, 0, 0, 0},            // past the end
        {"bytes */10", false, 0, 0, 0},               // no range at all
        {"bytes 1-2/*", false, 0, 0, 0},              // unknown length
        {"bytes 1-2/3 ", false, 0, 0, 0},             // anything after it
        {"items 1-2/3", false, 0, 0, 0},
        {"bytes 0-1/99999999999999999999", false, 0, 0, 0},  // past 64 bits
    };
    for (const Case& c : cases) {
        std::uint64_t first = 0, last = 0, total = 0;
        EXPECT_EQ(parseContentRange(c.value, &first, &last, &total), c.ok) << c.value;
        if (c.ok) {
            EXPECT_EQ(first, c.first);
            EXPECT_EQ(last, c.last);
            EXPECT_EQ(total, c.total);
        }
    }
}

TEST_F(HttpClientTest, StalledOrTrickledBodyEndsAsAReadError) {
    HttpClient http;
    http.setStallTimeout(2);
    // Nothing after 10 bytes, and one byte a second: neither holds the
    // launcher longer than about the stall time.
    for (const char* path : {"fault/stall", "fault/trickle"}) {
        std::string body;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(http.fetch(m_base + path, &body), HttpStatus::ReadError) << path;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << path;
    }
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
                  [&](std::uint64_t offset, std::uint64_t length) {
                      EXPECT_EQ(offset, 0u);
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
                  m_base + "big.bin", 1 << 20, [](std::uint64_t, std::uint64_t) { return true; },
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

// A low descriptor limit (set by a desktop or a container) means fewer
// downloads at once, never sockets and staging files that cannot be opened.
TEST(DownloadConnections, TheDescriptorLimitLeavesRoomForEachDownload) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    setenv("QUILLON_CONNECTIONS", "16", 1);
    std::size_t open = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) open += e.path().empty() ? 0 : 1;
    struct Row {
        std::size_t spare;  // descriptors past those open and those kept free
        unsigned connections;
    };
    for (const Row row : {Row{2 * kDescriptorsPerConnection, 2}, Row{0, 1}, Row{100 * kDescriptorsPerConnection, 16}}) {
        rlimit low = saved;
        low.rlim_cur = std::min<rlim_t>(saved.rlim_max, open + kDescriptorsReserved + row.spare);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
        const unsigned got = downloadConnections();
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
        EXPECT_EQ(got, row.connections) << "spare " << row.spare;
    }
    unsetenv("QUILLON_CONNECTIONS");
}
