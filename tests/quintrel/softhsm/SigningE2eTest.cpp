// Sign and Authenticate through the real service, Quintrel, the Kestova
// bridge and SoftHSM2, with the real pinentry-tty as the prompt on a
// pseudo-terminal that the test reads and types into.

#include "harness/ServiceProcess.h"
#include "harness/WsClient.h"

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <rapidjson/document.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using harness::ServiceOptions;
using harness::ServiceProcess;
using harness::WsClient;

namespace {

using Bytes = std::vector<unsigned char>;

const char* const kPin = "731946";
const char* const kToken = "Signing Token:alice+,device+,wang,enc-only+,person+alice";
const char* const kLabel = "Signing Token";

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes readBytes(const std::string& path)
{
    const std::string text = readText(path);
    return Bytes(text.begin(), text.end());
}

std::string base64(const Bytes& data)
{
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    out.resize(static_cast<std::size_t>(
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), data.data(), static_cast<int>(data.size()))));
    return out;
}

Bytes unbase64(const std::string& text)
{
    Bytes out(text.size());
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    out.resize(n < 0 ? 0 : static_cast<std::size_t>(n) - (text.size() - text.find_last_not_of('=') - 1));
    return out;
}

Bytes sha(const EVP_MD* md, const std::string& text)
{
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned length = 0;
    EVP_Digest(text.data(), text.size(), out.data(), &length, md, nullptr);
    out.resize(length);
    return out;
}

// The signature checked against the certificate's key and the digest.
bool verifies(const Bytes& certificateDer, const Bytes& digestValue, const EVP_MD* md, Bytes signature, bool ecdsa)
{
    const unsigned char* p = certificateDer.data();
    X509* certificate = d2i_X509(nullptr, &p, static_cast<long>(certificateDer.size()));
    EVP_PKEY* key = X509_get_pubkey(certificate);
    if (ecdsa) {
        // r || s to the DER that OpenSSL verifies.
        ECDSA_SIG* sig = ECDSA_SIG_new();
        const int half = static_cast<int>(signature.size() / 2);
        ECDSA_SIG_set0(sig, BN_bin2bn(signature.data(), half, nullptr), BN_bin2bn(signature.data() + half, half, nullptr));
        unsigned char* der = nullptr;
        const int length = i2d_ECDSA_SIG(sig, &der);
        signature.assign(der, der + length);
        OPENSSL_free(der);
        ECDSA_SIG_free(sig);
    }
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
    bool ok = EVP_PKEY_verify_init(context) == 1 && (ecdsa || EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1) &&
              EVP_PKEY_CTX_set_signature_md(context, md) == 1 &&
              EVP_PKEY_verify(context, signature.data(), signature.size(), digestValue.data(), digestValue.size()) == 1;
    EVP_PKEY_CTX_free(context);
    EVP_PKEY_free(key);
    X509_free(certificate);
    return ok;
}

// The user at the terminal: waits for each "PIN: " prompt and answers it
// with the next entry of the script ("" closes the terminal, which is how
// a user dismisses pinentry-tty). Everything shown is kept.
class Terminal {
public:
    Terminal()
    {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        m_slave = slave;
        m_name = name;
        // Only pinentry-tty opens the terminal: the service must not hold
        // the master, or closing it here would not hang the terminal up.
        ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
        ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    }
    ~Terminal()
    {
        stop();
        if (m_master >= 0) {
            ::close(m_master);
        }
        ::close(m_slave);
    }

    const std::string& name() const { return m_name; }

    void answer(std::vector<std::string> script)
    {
        m_thread = std::thread([this, script] {
            std::size_t next = 0;
            std::size_t seen = 0;
            while (!m_stop && m_master >= 0) {
                pollfd fd = { m_master, POLLIN, 0 };
                if (::poll(&fd, 1, 50) <= 0) {
                    continue;
                }
                char buffer[4096];
                const ssize_t n = ::read(m_master, buffer, sizeof buffer);
                if (n <= 0) {
                    continue;
                }
                std::string line;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_screen.append(buffer, static_cast<std::size_t>(n));
                    const std::size_t prompt = m_screen.find("PIN: ", seen);
                    if (prompt == std::string::npos || next >= script.size()) {
                        continue;
                    }
                    seen = prompt + 5;
                    line = script[next++];
                }
                // "hold:" waits for release() before typing the rest.
                if (line.rfind("hold:", 0) == 0) {
                    while (!m_released && !m_stop) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                    }
                    line = line.substr(5);
                }
                // pinentry-tty flushes input when it switches the terminal
                // to reading the PIN; typing before that would be lost.
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                if (line.empty()) {
                    ::close(m_master);
                    m_master = -1;
                } else {
                    const std::string typed = line + "\r";
                    EXPECT_EQ(::write(m_master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
                }
            }
        });
    }

    void release() { m_released = true; }

    void stop()
    {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    std::string screen()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_screen;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_name;
    std::thread m_thread;
    std::atomic<bool> m_stop { false };
    std::atomic<bool> m_released { false };
    std::mutex m_mutex;
    std::string m_screen;
};

struct Answer {
    bool result = false;
    rapidjson::Document response;
    std::string text;
};

class SigningTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/corvane-signing-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        s_directory = pattern;
        const std::string command = "TOKEN_PIN=" + std::string(kPin) + " '" CORVANE_PROVISION_SCRIPT "' '" +
                                    s_directory + "' '" + kToken + "' >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    static void TearDownTestSuite()
    {
        std::error_code ignored;
        std::filesystem::remove_all(s_directory, ignored);
    }

    // The prompt program: pinentry-tty on the test's terminal, or `program`.
    void start(const std::string& origin, const std::string& program = {})
    {
        std::string pinentry = program;
        if (pinentry.empty()) {
            pinentry = s_directory + "/pinentry-" + std::to_string(::getpid());
            std::ofstream(pinentry) << "#!/bin/sh\nexec pinentry-tty --ttyname " << terminal.name() << "\n";
            std::filesystem::permissions(pinentry, std::filesystem::perms::owner_all);
        }
        ServiceOptions options;
        options.files[CORVANE_QUINTREL] = "Quintrel.so";
        options.files[CORVANE_BRIDGE] = "libKestova.so";
        options.environment["KESTOVA_BRIDGE_MODULE"] = CORVANE_SOFTHSM_MODULE;
        options.environment["SOFTHSM2_CONF"] = s_directory + "/softhsm2.conf";
        options.environment["CORVANE_PINENTRY"] = pinentry;
        stop();
        service = std::make_unique<ServiceProcess>(options);
        client = std::make_unique<WsClient>();
        if (!origin.empty()) {
            client->setRequestHeader("Origin", origin);
        }
        client->connect();
        ASSERT_NE(client->request("{\"MsgId\":\"l\",\"Module\":\"Quintrel\"}").find("\"Result\":true"), std::string::npos);
    }

    // Ends the service; the PIN never reached its output.
    void stop()
    {
        if (!service) {
            return;
        }
        try {
            client->close();
        } catch (const harness::WsError&) {
        }
        service->terminate();
        service->waitExit(std::chrono::milliseconds(5000));
        EXPECT_EQ(service->standardOutput().find(kPin), std::string::npos);
        EXPECT_EQ(service->standardError().find(kPin), std::string::npos);
        service.reset();
    }

    void TearDown() override
    {
        terminal.stop();
        stop();
    }

    // A scripted prompt program: answers GETPIN with `reply` (lines), and
    // touches `marker` when started, if given.
    std::string scriptedPrompt(const std::string& name, const std::string& reply, const std::string& marker = {})
    {
        const std::string path = s_directory + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n"
                            << (marker.empty() ? "" : "touch '" + marker + "'\n") << "echo 'OK ready'\nwhile read l; do\n"
                            << "  case $l in GETPIN) printf '" << reply << "';; BYE) exit 0;; *) echo OK;; esac\ndone\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path;
    }

    Answer call(const std::string& method, const std::string& param)
    {
        std::string escaped;
        for (char c : param) {
            escaped += c == '"' ? std::string("\\\"") : std::string(1, c);
        }
        Answer answer;
        answer.text = client->request("{\"MsgId\":\"k\",\"Method\":\"" + method + "\",\"Param\":\"" + escaped + "\"}",
                                     std::chrono::milliseconds(90000));
        EXPECT_EQ(answer.text.find(kPin), std::string::npos);
        rapidjson::Document outer;
        outer.Parse(answer.text.c_str());
        if (outer.HasParseError() || !outer.IsObject() || !outer["Response"].IsString()) {
            ADD_FAILURE() << answer.text;
            return answer;
        }
        answer.result = outer["Result"].GetBool();
        answer.response.Parse(outer["Response"].GetString());
        if (answer.response.HasParseError() || !answer.response.IsObject()) {
            ADD_FAILURE() << answer.text;
        }
        return answer;
    }

    static std::string error(const Answer& answer)
    {
        return answer.response.IsObject() && answer.response.HasMember("error") ? answer.response["error"].GetString()
                                                                                 : "(none) " + answer.text;
    }

    static Bytes certificate(const std::string& kind) { return readBytes(s_directory + "/certs/" + kind + ".der"); }

    static std::string signParam(const std::string& kind, const Bytes& hash, const std::string& algorithm)
    {
        return "{\"certificate\":\"" + base64(certificate(kind)) + "\",\"hash\":\"" + base64(hash) +
               "\",\"hashAlgorithm\":\"" + algorithm + "\"}";
    }

    static std::string authParam(const std::string& kind, const std::string& challenge)
    {
        return "{\"certificate\":\"" + base64(certificate(kind)) + "\",\"challenge\":\"" + challenge + "\"}";
    }

    static std::string s_directory;
    Terminal terminal;
    std::unique_ptr<ServiceProcess> service;
    std::unique_ptr<WsClient> client;
};

std::string SigningTest::s_directory;

TEST_F(SigningTest, sign_rsaAndEc_verifyWithOpenSsl_andThePromptNamesSiteCertificateIssuerAndToken)
{
    start("https://bank.example");
    terminal.answer({ kPin, kPin });

    const Bytes rsaHash = sha(EVP_sha256(), "pay 10 EUR");
    const Answer rsa = call("Sign", signParam("alice", rsaHash, "SHA-256"));
    ASSERT_TRUE(rsa.result) << rsa.text;
    EXPECT_STREQ(rsa.response["signatureAlgorithm"]["name"].GetString(), "RSASSA-PKCS1-v1_5");
    EXPECT_TRUE(verifies(certificate("alice"), rsaHash, EVP_sha256(), unbase64(rsa.response["signature"].GetString()), false));

    const Bytes ecHash = sha(EVP_sha384(), "pay 20 EUR");
    const Answer ec = call("Sign", signParam("device", ecHash, "SHA-384"));
    ASSERT_TRUE(ec.result) << ec.text;
    EXPECT_STREQ(ec.response["signatureAlgorithm"]["name"].GetString(), "ECDSA");
    EXPECT_STREQ(ec.response["signatureAlgorithm"]["hash"].GetString(), "SHA-384");
    const Bytes ecSignature = unbase64(ec.response["signature"].GetString());
    EXPECT_EQ(ecSignature.size(), 64u);
    EXPECT_TRUE(verifies(certificate("device"), ecHash, EVP_sha384(), ecSignature, true));
    // A signature over another hash does not verify: the check can fail.
    EXPECT_FALSE(verifies(certificate("device"), rsaHash, EVP_sha384(), ecSignature, true));

    const std::string screen = terminal.screen();
    for (const char* shown : { "https://bank.example", "asks you to sign", "Alice Example", "Demo Signing Device",
                               "Corvane Sample Issuer", kLabel }) {
        EXPECT_NE(screen.find(shown), std::string::npos) << shown << " in\n" << screen;
    }
    EXPECT_EQ(screen.find(kPin), std::string::npos);
}

TEST_F(SigningTest, authenticate_documentedServerCheckPassesForItsOriginAndChallengeOnly)
{
    start("https://app.example.org");
    terminal.answer({ kPin });
    const std::string challenge = base64(sha(EVP_sha512(), "server-chosen challenge"));
    // An origin in the parameter is no member of the request: it changes nothing.
    std::string param = authParam("alice", challenge);
    param.insert(1, "\"origin\":\"https://evil.example\",");
    const Answer answer = call("Authenticate", param);
    ASSERT_TRUE(answer.result) << answer.text;
    EXPECT_STREQ(answer.response["origin"].GetString(), "https://app.example.org");
    EXPECT_NE(terminal.screen().find("asks you to log in"), std::string::npos);

    // The check as docs/web-developers.md gives it, run on the answer.
    const std::string response = s_directory + "/auth-response.json";
    {
        rapidjson::Document outer;
        outer.Parse(answer.text.c_str());
        std::ofstream(response) << outer["Response"].GetString();
    }
    const auto check = [&](const std::string& origin, const std::string& expectedChallenge) {
        const std::string command = "python3 '" CORVANE_SERVER_CHECK "' '" + response + "' '" + origin + "' '" +
                                    expectedChallenge + "' >/dev/null 2>&1";
        return std::system(command.c_str());
    };
    EXPECT_EQ(check("https://app.example.org", challenge), 0);
    EXPECT_NE(check("https://evil.example", challenge), 0);
    EXPECT_NE(check("https://app.example.org", base64(sha(EVP_sha512(), "another challenge"))), 0);
}

TEST_F(SigningTest, wrongPinThenRight_showsTheErrorAndSigns_wrongThenCancel_isPinIncorrect)
{
    start("http://localhost:8080");
    terminal.answer({ "000000", kPin, "111111", "" });
    const Bytes hash = sha(EVP_sha256(), "text");
    const Answer signedAfterRetry = call("Sign", signParam("alice", hash, "SHA-256"));
    EXPECT_TRUE(signedAfterRetry.result) << signedAfterRetry.text;
    EXPECT_NE(terminal.screen().find("Wrong PIN"), std::string::npos) << terminal.screen();

    const Answer gaveUp = call("Sign", signParam("alice", hash, "SHA-256"));
    EXPECT_FALSE(gaveUp.result);
    EXPECT_EQ(error(gaveUp), "pin-incorrect");
}

TEST_F(SigningTest, anotherConnectionDuringThePrompt_isAnsweredAfterwardsInOrder)
{
    start("https://bank.example");
    WsClient other;
    other.setRequestHeader("Origin", "https://other.example");
    other.connect();
    ASSERT_NE(other.request("{\"MsgId\":\"l\",\"Module\":\"Quintrel\"}").find("\"Result\":true"), std::string::npos);
    terminal.answer({ std::string("hold:") + kPin });

    Answer signedAnswer;
    std::thread signer([&] { signedAnswer = call("Sign", signParam("alice", sha(EVP_sha256(), "x"), "SHA-256")); });
    for (int i = 0; i < 500 && terminal.screen().find("PIN: ") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    other.sendText("{\"MsgId\":\"o1\",\"Method\":\"GetCertNotAfter\"}");
    other.sendText("{\"MsgId\":\"o2\",\"Method\":\"GetCertInfo\"}");
    // The service's one thread waits at the prompt: nothing comes meanwhile.
    EXPECT_FALSE(other.receive(std::chrono::milliseconds(1500)).has_value());
    terminal.release();
    signer.join();
    EXPECT_TRUE(signedAnswer.result) << signedAnswer.text;
    const auto first = other.receive(std::chrono::milliseconds(10000));
    const auto second = other.receive(std::chrono::milliseconds(10000));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->payload.rfind("{\"MsgId\":\"o1\",\"Result\":true", 0), 0u) << first->payload;
    EXPECT_EQ(second->payload.rfind("{\"MsgId\":\"o2\",\"Result\":true", 0), 0u) << second->payload;
    other.close();
}

TEST_F(SigningTest, refusals_beforeAnyPrompt_andKeysThatDoNotBelong)
{
    // A prompt program that leaves a mark: none of these may start it.
    const std::string marker = s_directory + "/prompted";
    const std::string marking = scriptedPrompt("marking-pinentry", "ERR 83886179 Operation cancelled\\n", marker);
    const Bytes hash = sha(EVP_sha256(), "x");
    const std::string challenge = base64(hash);

    for (const char* origin : { "null", "http://example.org", "https://bank.example/path", "" }) {
        start(origin, marking);
        EXPECT_EQ(error(call("Sign", signParam("alice", hash, "SHA-256"))), "origin-not-allowed") << origin;
        EXPECT_EQ(error(call("Authenticate", authParam("alice", challenge))), "origin-not-allowed") << origin;
        // Not even a malformed request tells such a page more.
        EXPECT_EQ(error(call("Sign", "{}")), "origin-not-allowed") << origin;
    }
    start("https://bank.example", marking);
    EXPECT_EQ(error(call("Sign", "[]")), "bad-request");
    EXPECT_EQ(error(call("Sign", signParam("alice", Bytes(20, 1), "SHA-256"))), "bad-request");
    EXPECT_EQ(error(call("Sign", signParam("alice", hash, "MD5"))), "bad-request");
    EXPECT_EQ(error(call("Authenticate", authParam("alice", base64(Bytes(16, 1))))), "bad-request");
    EXPECT_EQ(error(call("Sign", signParam("enc-only", hash, "SHA-256"))), "key-usage");
    EXPECT_EQ(error(call("Authenticate", authParam("enc-only", challenge))), "key-usage");
    EXPECT_FALSE(std::filesystem::exists(marker));

    // A certificate without a key, and one with another certificate's key
    // under its id: the key is private, so the user logs in, then no-key.
    start("https://bank.example", scriptedPrompt("pin-pinentry", std::string("D ") + kPin + "\\nOK\\n"));
    EXPECT_EQ(error(call("Sign", signParam("wang", hash, "SHA-256"))), "no-key");
    EXPECT_EQ(error(call("Sign", signParam("person", hash, "SHA-256"))), "no-key");
    // The same prompt program does sign for a certificate with its own key.
    EXPECT_TRUE(call("Sign", signParam("alice", hash, "SHA-256")).result);
}

TEST_F(SigningTest, promptOutcomes_cancelTimeoutAndNoPromptProgram)
{
    start("https://bank.example");
    terminal.answer({ "" });
    const Bytes hash = sha(EVP_sha256(), "x");
    EXPECT_EQ(error(call("Sign", signParam("alice", hash, "SHA-256"))), "cancelled");

    // pinentry's own answer when its 60 s are up, from a scripted peer so
    // that the test does not wait a minute.
    start("https://bank.example", scriptedPrompt("timeout-pinentry", "ERR 83886142 Timeout <Pinentry>\\n"));
    EXPECT_EQ(error(call("Sign", signParam("alice", hash, "SHA-256"))), "timeout");

    start("https://bank.example", s_directory + "/no-such-pinentry");
    EXPECT_EQ(error(call("Sign", signParam("alice", hash, "SHA-256"))), "no-prompt");
}

} // namespace
