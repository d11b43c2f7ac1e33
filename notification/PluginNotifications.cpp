#include "notification/PluginNotifications.h"

#include "notification/AnswerTexts.h"

#include <sstream>

namespace notification {

std::string InvokePluginFunctionNotification::describe() const
{
    std::ostringstream out;
    out << "user calling function: " << m_functionName << std::endl
        << "length of param: " << m_param.size() << std::endl;
    return out.str();
}

std::string ResponseNotification::responseText() const
{
    return "Response of " + msgId() + ":" + (m_success ? "success" : "faild");
}

std::string_view ResponseNotification::responseTextView(std::string& scratch) const
{
    scratch = responseText();
    return scratch;
}

InvalidSyntaxResponse::InvalidSyntaxResponse(std::string reason)
    : ResponseNotification(false)
    , m_reason(std::move(reason))
{
    setMsgId(answers::kInvalidSyntaxMsgId);
}

std::string InvalidSyntaxResponse::responseText() const
{
    return answers::kInvalidSyntaxPrefix + m_reason;
}

} // namespace notification
