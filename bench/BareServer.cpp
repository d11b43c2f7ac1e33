// The baseline for corvane_bench: a bare WebSocket++ endpoint that does per
// request what the service does at its core (parse the JSON request, write
// the JSON answer, same log channels) and nothing else. An "echo" call is
// answered with its parameter, a load request with the service's success
// answer. Usage: corvane_bench_bare <port>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include <cstdlib>
#include <functional>
#include <string>

namespace {

using Endpoint = websocketpp::server<websocketpp::config::asio>;

const char* stringMember(const rapidjson::Document& document, const char* name)
{
    if (!document.IsObject()) {
        return nullptr;
    }
    const auto member = document.FindMember(name);
    if (member == document.MemberEnd() || !member->value.IsString() || member->value.GetStringLength() == 0) {
        return nullptr;
    }
    return member->value.GetString();
}

std::string answer(const std::string& msgId, bool success, const std::string& response)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("MsgId");
    writer.String(msgId.c_str(), static_cast<rapidjson::SizeType>(msgId.size()));
    writer.Key("Result");
    writer.Bool(success);
    writer.Key("Response");
    writer.String(response.c_str(), static_cast<rapidjson::SizeType>(response.size()));
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string handle(const std::string& payload)
{
    rapidjson::Document document;
    document.Parse(payload.data(), payload.size());
    if (document.HasParseError()) {
        return answer("InvalidSyntax", false, "Invalid syntax, reason: Invalid message format");
    }
    const char* msgId = stringMember(document, "MsgId");
    if (msgId == nullptr) {
        return answer("InvalidSyntax", false, "Invalid syntax, reason: message not have MsgId");
    }
    if (stringMember(document, "Module") != nullptr) {
        return answer("LoadModule", true, "Load module success");
    }
    if (stringMember(document, "Method") != nullptr) {
        const char* param = stringMember(document, "Param");
        return answer(msgId, true, param != nullptr ? param : "{}");
    }
    return answer("InvalidSyntax", false, "Invalid syntax, reason: not find operation(Module or Method)");
}

} // namespace

int main(int argc, char* argv[])
{
    const std::string port = argc > 1 ? argv[1] : "1238";

    Endpoint server;
    server.init_asio();
    server.set_error_channels(websocketpp::log::elevel::all);
    server.set_access_channels(websocketpp::log::alevel::all ^ websocketpp::log::alevel::frame_payload);
    server.set_message_handler([&server](websocketpp::connection_hdl hdl, Endpoint::message_ptr message) {
        const std::string text = handle(message->get_payload());
        Endpoint::connection_ptr connection = server.get_con_from_hdl(hdl);
        (void)connection->send(text.data(), text.size(), websocketpp::frame::opcode::text);
    });
    server.set_reuse_addr(true);
    server.listen("127.0.0.1", port);
    server.start_accept();
    server.run();
    return EXIT_SUCCESS;
}
