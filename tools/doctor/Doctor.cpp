// corvane-doctor: reads what the service would find, by the service's own
// rules, from where it is installed, and says what is wrong and what to try.
// It changes nothing and never asks for a PIN.

#include "PortOwner.h"
#include "Report.h"
#include "ServiceProbe.h"

#include "Pkcs11Names.h"
#include "TokenWrap.h"
#include "platform/modules/Modules.h"
#include "platform/paths/Paths.h"
#include "platform/process/Process.h"
#include "plugin/Utf8.h"
#include "server/InstanceGuardName.h"
#include "server/OriginPolicy.h"
#include "server/PortRange.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#ifndef CORVANE_DOCTOR_VERSION
#error "CORVANE_DOCTOR_VERSION must carry the project version"
#endif

namespace doctor {
namespace {


// PKCS#11 texts are fixed-width and blank-padded.
template <std::size_t N>
std::string padded(const CK_UTF8CHAR (&text)[N])
{
    std::string value(reinterpret_cast<const char*>(text), N);
    const auto end = value.find_last_not_of(std::string(" \0", 2));
    value.resize(end == std::string::npos ? 0 : end + 1);
    return value;
}

std::string hex(const std::vector<unsigned char>& bytes)
{
    std::string text;
    char digits[3];
    for (unsigned char byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

std::string utc(const CivilDate& date)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", date.year, date.month, date.day, date.hour,
                  date.minute, date.second);
    return text;
}

void checkService(Report& report)
{
    const char* area = "service";
    report.ok(area, "version " CORVANE_DOCTOR_VERSION);
    const platform::GuardState guard = platform::probeInstanceGuard(server::kInstanceGuardName);
    const std::string guardProblem = platform::instanceGuardProblem(server::kInstanceGuardName);
    if (!guardProblem.empty()) {
        report.note(area, "instance guard: " + guardProblem + "; not trusted");
    }
    if (guard == platform::GuardState::held) {
        report.ok(area, "an instance runs for this user");
    } else if (guard == platform::GuardState::free) {
        report.note(area, "no instance runs for this user");
    } else {
        report.note(area, "whether an instance runs for this user cannot be told");
    }

    std::string notCorvaneOnFirst;
    for (const PortProbe& probe : probePorts(server::kFirstPort, server::kLastPort)) {
        const unsigned port = probe.port;
        const std::string where = "port " + std::to_string(port);
        if (probe.kind == PortProbe::Kind::nothing) {
            continue;
        }
        // What answers proves nothing: anyone can answer as Corvane does.
        // Whose the listener is, the system tells.
        const PortOwner owner = findPortOwner(static_cast<std::uint16_t>(port));
        const std::string whose = owner.known ? " (listener: " + owner.text + ")" : std::string();
        switch (probe.kind) {
        case PortProbe::Kind::nothing:
            continue;
        case PortProbe::Kind::corvane:
            if (owner.known && !owner.ownUser) {
                report.note(area, where + ": belongs to another user, " + owner.text +
                                      "; it answers as Corvane does, but it is not this user's service");
            } else if (owner.known && !owner.corvane) {
                report.note(area, where + ": belongs to a program that is not Corvane, " + owner.text +
                                      "; it answers as Corvane does");
            } else {
                report.ok(area, where + ": Corvane answers for this user (ws://127.0.0.1:" + std::to_string(port) +
                                    ")" + whose);
                report.serviceAnswers = true;
                return;
            }
            if (port == server::kFirstPort) {
                notCorvaneOnFirst = "answers as Corvane does";
            }
            continue;
        case PortProbe::Kind::otherUser:
            report.note(area, where + ": another user's Corvane service (it refuses this user)" + whose);
            continue;
        case PortProbe::Kind::notCorvane:
        case PortProbe::Kind::unprobed:
            report.note(area, where + (probe.kind == PortProbe::Kind::unprobed
                                           ? ": something listens there but could not be probed; it "
                                           : ": a program that is not Corvane listens there; it ") +
                                  probe.detail + whose);
            if (port == server::kFirstPort) {
                notCorvaneOnFirst = probe.detail;
            }
            continue;
        }
    }
    const std::string range =
        std::to_string(server::kFirstPort) + ".." + std::to_string(server::kLastPort);
    if (guard == platform::GuardState::held) {
        report.problem(area, "the service runs but answers on no port of " + range,
                       "end it and start it again; if a program that is not Corvane holds port " +
                           std::to_string(server::kFirstPort) + ", end that program first");
    } else if (!notCorvaneOnFirst.empty()) {
        report.problem(area, "the service is not running, and port " + std::to_string(server::kFirstPort) +
                                 " is held by a program that is not Corvane",
                       std::string(startServiceStep()) + "; pages look for Corvane on port " +
                           std::to_string(server::kFirstPort) + " first, so end that program if you can");
    } else {
        report.problem(area, "the service is not running", startServiceStep());
    }
}

void checkOriginPolicy(Report& report)
{
    const char* area = "origin policy";
    const platform::OriginPolicySource source = platform::readOriginPolicySource();
    const server::OriginPolicyLoad load = server::loadOriginPolicy();
    if (!load.policy) {
        report.ok(area, "none at " + source.location + ": every origin may connect");
        return;
    }
    for (const server::OriginPolicyLoad::Message& message : load.messages) {
        if (message.level == server::OriginPolicyLoad::Level::info) {
            report.ok(area, message.text);
        } else if (message.level == server::OriginPolicyLoad::Level::warning) {
            report.note(area, message.text);
        } else {
            report.problem(area, message.text,
                           "have the administrator list the page's origin there, such as https://app.example");
        }
    }
    for (const server::OriginPolicy::Entry& entry : load.policy->entries()) {
        report.note(area, "allows " + entry.scheme + "://" + (entry.wildcard ? "*." : "") + entry.host +
                              (entry.port != 0 ? ":" + std::to_string(entry.port) : std::string()));
    }
}

void checkQuintrel(Report& report)
{
    const char* area = "Quintrel";
    // The service's own way to a plug-in: the export table is read from the
    // file before anything of it runs.
    std::uint32_t error = 0;
    platform::ModuleHandle module = nullptr;
    switch (platform::loadPluginModule("Quintrel", "Invoke", module, error)) {
    case platform::PluginLoad::loaded:
        report.ok(area, platform::modulePath(module) + " exports Invoke");
        platform::freeModule(module);
        return;
    case platform::PluginLoad::noEntry:
        report.problem(area, "the Quintrel the service would load does not export Invoke",
                       "reinstall Corvane: this is not its Quintrel");
        return;
    case platform::PluginLoad::failed:
        report.problem(area, "Quintrel cannot be loaded (error " + std::to_string(error) + ")",
                       "reinstall Corvane: Quintrel belongs beside the service");
        return;
    }
}

// A call into the library's list; an entry the library leaves out fails
// as not supported instead of jumping through null.
template <typename Entry, typename... Args>
CK_RV ask(CK_FUNCTION_LIST* functions, Entry CK_FUNCTION_LIST::*entry, Args... args)
{
    if (functions == nullptr || functions->*entry == nullptr) {
        return CKR_FUNCTION_NOT_SUPPORTED;
    }
    return (functions->*entry)(args...);
}

// Told of each step of Quintrel's walk; asks the library a few read-only
// questions of its own once it is initialized.
class TokenReport : public WalkReport {
public:
    explicit TokenReport(Report& report)
        : m_report(report)
    {
    }

    bool initializedOk() const { return m_initialized; }
    bool reportedUnreadable() const { return m_unreadable; }
    int presentTokens() const { return m_presentTokens; }

    void libraryNotLoaded(std::uint32_t error) override
    {
        const std::string why = error == platform::kErrorModuleNotFound ? "is not found"
                                : error == platform::kErrorBadFormat   ? "is not a library for this system"
                                                                       : "cannot be loaded";
        m_report.problem("token library", std::string(QUINTREL_TOKEN_LIBRARY) + " " + why + " (error " +
                                              std::to_string(error) + ")",
                         "install the token maker's library");
    }

    void libraryLoaded(platform::ModuleHandle module) override
    {
        const std::string path = platform::modulePath(module);
        m_report.ok("token library", "Quintrel loads " + path);
        for (const char* name : {"C_GetFunctionList", "Kv_GetAuxFunctionList"}) {
            if (platform::findSymbol(module, name) != nullptr) {
                m_report.ok("token library", path + " exports " + name);
            } else {
                m_report.problem("token library", path + " does not export " + name,
                                 "install the token maker's own library: this one is not made for Quintrel");
            }
        }
    }

    void entryFailed(const char* name, bool exported, CK_RV rv) override
    {
        if (exported) {
            m_report.problem("token library", std::string(name) + " failed: " + pkcs11ReturnName(rv),
                             "reinstall the token maker's library");
        }
    }

    void initialized(CK_RV rv, CK_FUNCTION_LIST* functions) override
    {
        const char* area = "tokens";
        if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
            m_report.problem(area, "C_Initialize failed: " + pkcs11ReturnName(rv),
                             "the token library cannot start: reinstall it, or ask the token maker");
            return;
        }
        m_initialized = true;
        m_functions = functions;
        m_report.ok(area, "C_Initialize: " + pkcs11ReturnName(rv));
        CK_INFO info{};
        if (const CK_RV got = ask(functions, &CK_FUNCTION_LIST::C_GetInfo, &info); got == CKR_OK) {
            m_report.ok(area, "library \"" + padded(info.libraryDescription) + "\" version " +
                                  std::to_string(info.libraryVersion.major) + "." +
                                  std::to_string(info.libraryVersion.minor) + " by \"" +
                                  padded(info.manufacturerID) + "\"");
        } else {
            m_report.note(area, "C_GetInfo failed: " + pkcs11ReturnName(got));
        }
        listSlots(functions);
    }

    void certificateUnreadable(const std::string& token, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                               const std::string& reason) override
    {
        std::string label = "(no label)";
        CK_ATTRIBUTE attribute = {CKA_LABEL, nullptr, 0};
        if (ask(m_functions, &CK_FUNCTION_LIST::C_GetAttributeValue, session, object, &attribute, CK_ULONG{1}) == CKR_OK &&
            attribute.ulValueLen < 4096) {
            std::string value(attribute.ulValueLen, '\0');
            attribute.pValue = value.data();
            if (ask(m_functions, &CK_FUNCTION_LIST::C_GetAttributeValue, session, object, &attribute, CK_ULONG{1}) == CKR_OK) {
                value.resize(std::min<std::size_t>(value.size(), attribute.ulValueLen));
                label = "\"" + server::printable(value) + "\"";
            }
        }
        m_unreadable = true;
        m_report.problem("tokens",
                         "certificate " + label + " on token \"" + token + "\" cannot be decoded: " + reason +
                             "; GetCertInfo passes over it, the older certificate methods read no further "
                             "certificate of that token",
                         "replace that certificate on the token, or ask whoever issued it");
    }

private:
    std::vector<CK_SLOT_ID> slotList(CK_FUNCTION_LIST* functions, CK_BBOOL withToken, CK_RV& rv)
    {
        CK_ULONG count = 0;
        rv = ask(functions, &CK_FUNCTION_LIST::C_GetSlotList, withToken, static_cast<CK_SLOT_ID_PTR>(nullptr), &count);
        std::vector<CK_SLOT_ID> slots(rv == CKR_OK ? count : 0);
        if (!slots.empty()) {
            rv = ask(functions, &CK_FUNCTION_LIST::C_GetSlotList, withToken, slots.data(), &count);
            slots.resize(rv == CKR_OK ? std::min<std::size_t>(slots.size(), count) : 0);
        }
        return slots;
    }

    void listSlots(CK_FUNCTION_LIST* functions)
    {
        const char* area = "tokens";
        CK_RV rv = CKR_OK;
        const std::vector<CK_SLOT_ID> slots = slotList(functions, CK_FALSE, rv);
        if (rv != CKR_OK) {
            m_report.problem(area, "C_GetSlotList failed: " + pkcs11ReturnName(rv), "reconnect the reader");
            return;
        }
        const std::vector<CK_SLOT_ID> withToken = slotList(functions, CK_TRUE, rv);
        if (slots.empty()) {
            m_report.note(area, "no slot: the library sees no reader");
        }
        for (const CK_SLOT_ID slot : slots) {
            const bool present = std::find(withToken.begin(), withToken.end(), slot) != withToken.end();
            CK_SLOT_INFO info{};
            const std::string description =
                ask(functions, &CK_FUNCTION_LIST::C_GetSlotInfo, slot, &info) == CKR_OK
                    ? " \"" + padded(info.slotDescription) + "\""
                    : std::string();
            m_report.note(area, "slot " + std::to_string(slot) + description + ": " +
                                    (present ? "token present" : "no token"));
            CK_TOKEN_INFO token{};
            if (!present) {
                continue;
            }
            if (const CK_RV got = ask(functions, &CK_FUNCTION_LIST::C_GetTokenInfo, slot, &token); got != CKR_OK) {
                m_report.note(area, "slot " + std::to_string(slot) + ": C_GetTokenInfo failed: " + pkcs11ReturnName(got));
                continue;
            }
            ++m_presentTokens;
            std::string flags;
            const auto flag = [&](CK_FLAGS bit, const char* name) {
                if ((token.flags & bit) != 0) {
                    flags += flags.empty() ? name : std::string(", ") + name;
                }
            };
            flag(CKF_TOKEN_INITIALIZED, "initialized");
            flag(CKF_LOGIN_REQUIRED, "login required");
            flag(CKF_USER_PIN_INITIALIZED, "user PIN set");
            flag(CKF_WRITE_PROTECTED, "write protected");
            flag(CKF_USER_PIN_LOCKED, "user PIN locked");
            m_report.ok(area, "token \"" + padded(token.label) + "\": model \"" + padded(token.model) +
                                  "\", serial \"" + padded(token.serialNumber) + "\", flags: " +
                                  (flags.empty() ? "none" : flags));
        }
    }

    Report& m_report;
    CK_FUNCTION_LIST* m_functions = nullptr;
    bool m_initialized = false;
    bool m_unreadable = false;
    int m_presentTokens = 0;
};

void checkTokens(Report& report)
{
    reportTokenSetup(report);
    reportPromptSetup(report);
    TokenReport tokenReport(report);
    CTokenWrap tokenWrap(QUINTREL_TOKEN_LIBRARY);
    tokenWrap.setReport(&tokenReport);
    tokenWrap.walk([&report](const FoundCertificate& found) {
        report.certificates.push_back({found.token, found.certificate.commonName, hex(found.certificate.serial),
                                       utc(found.certificate.notAfter)});
        return WalkStep::Continue;
    });
    if (!tokenReport.initializedOk()) {
        return;
    }
    report.tokens = tokenReport.presentTokens();
    if (report.tokens == 0) {
        report.problem("tokens", "no token is present", "insert your token");
        return;
    }
    for (const CertificateFound& found : report.certificates) {
        report.ok("tokens", "certificate \"" + found.commonName + "\" on token \"" + found.token + "\": serial " +
                                found.serial + ", valid until " + found.notAfter);
    }
    if (report.certificates.empty() && !tokenReport.reportedUnreadable()) {
        report.problem("tokens", "no certificate on the token", "use a token that holds your certificate");
    }
}

std::string lastLine(const Report& report)
{
    if (const Finding* problem = report.firstProblem()) {
        return "problem: " + problem->text + ": " + problem->step;
    }
    return "ready: " + std::to_string(report.certificates.size()) + " certificates on " +
           std::to_string(report.tokens) + " tokens";
}

const char* levelName(Finding::Level level)
{
    return level == Finding::Level::ok ? "ok" : level == Finding::Level::problem ? "problem" : "note";
}

// Token labels and certificate names come from the token: whatever they hold
// goes out as valid UTF-8.
std::string valid(const std::string& text)
{
    return plugin::toValidUtf8(text);
}

void printText(const Report& report)
{
    for (const Finding& finding : report.findings) {
        std::string level = levelName(finding.level);
        level.resize(8, ' ');
        std::cout << level << finding.area << ": " << valid(finding.text) << "\n";
        if (!finding.step.empty()) {
            std::cout << "        step: " << finding.step << "\n";
        }
    }
    std::cout << valid(lastLine(report)) << "\n";
}

template <class Writer>
void putString(Writer& out, const std::string& text)
{
    const std::string checked = valid(text);
    out.String(checked.data(), static_cast<rapidjson::SizeType>(checked.size()));
}

void printJson(const Report& report)
{
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> out(buffer);
    out.StartObject();
    out.Key("findings");
    out.StartArray();
    for (const Finding& finding : report.findings) {
        out.StartObject();
        out.Key("area");
        putString(out, finding.area);
        out.Key("status");
        out.String(levelName(finding.level));
        out.Key("text");
        putString(out, finding.text);
        if (!finding.step.empty()) {
            out.Key("step");
            putString(out, finding.step);
        }
        out.EndObject();
    }
    out.EndArray();
    out.Key("certificates");
    out.StartArray();
    for (const CertificateFound& found : report.certificates) {
        out.StartObject();
        out.Key("token");
        putString(out, found.token);
        out.Key("commonName");
        putString(out, found.commonName);
        out.Key("serial");
        putString(out, found.serial);
        out.Key("notAfter");
        out.String(found.notAfter.c_str());
        out.EndObject();
    }
    out.EndArray();
    out.Key("tokens");
    out.Int(report.tokens);
    out.Key("serviceAnswers");
    out.Bool(report.serviceAnswers);
    out.Key("ready");
    out.Bool(report.ready());
    out.Key("summary");
    putString(out, lastLine(report));
    out.EndObject();
    std::cout << buffer.GetString() << "\n";
}

} // namespace
} // namespace doctor

int main(int argc, char* argv[])
{
    bool json = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else {
            std::cerr << "usage: corvane-doctor [--json]\n";
            return 2;
        }
    }
    platform::useUtf8Console();
    doctor::Report report;
    doctor::checkService(report);
    doctor::checkOriginPolicy(report);
    doctor::checkQuintrel(report);
    doctor::checkTokens(report);
    if (json) {
        doctor::printJson(report);
    } else {
        doctor::printText(report);
    }
    return report.ready() ? 0 : 1;
}
