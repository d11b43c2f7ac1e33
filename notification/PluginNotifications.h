#pragma once

#include "notification/Notification.h"

#include <string>
#include <string_view>

namespace notification {

// Base of the plug-in commands and of every response; carries the request's
// identifier.
class PluginNotification : public Notification {
public:
    const std::string& msgId() const { return m_msgId; }
    void setMsgId(std::string msgId) { m_msgId = std::move(msgId); }

private:
    std::string m_msgId;
};

class LoadPluginNotification : public PluginNotification {
public:
    explicit LoadPluginNotification(const char* moduleName)
        : m_moduleName(moduleName)
    {
    }
    const std::string& moduleName() const { return m_moduleName; }

private:
    std::string m_moduleName;
};

class InvokePluginFunctionNotification : public PluginNotification {
public:
    InvokePluginFunctionNotification(const char* functionName, const char* param)
        : m_functionName(functionName)
        , m_param(param)
    {
    }
    const std::string& functionName() const { return m_functionName; }
    const std::string& param() const { return m_param; }
    std::string describe() const override;

private:
    std::string m_functionName;
    std::string m_param;
};

// Deliberately not a PluginNotification: it carries nothing.
class UnLoadPluginNotification : public Notification {
};

// An answer to one request. The writer reads exactly msgId(), success() and
// responseText(), the last through responseTextView().
class ResponseNotification : public PluginNotification {
public:
    explicit ResponseNotification(bool success)
        : m_success(success)
    {
    }
    bool success() const { return m_success; }
    virtual std::string responseText() const;
    // What responseText() returns, without copying a text the class holds as
    // it is (a class that overrides one overrides both); a computed text goes
    // into scratch.
    virtual std::string_view responseTextView(std::string& scratch) const;

private:
    bool m_success;
};

class InvalidSyntaxResponse : public ResponseNotification {
public:
    explicit InvalidSyntaxResponse(std::string reason);
    std::string responseText() const override;

private:
    std::string m_reason;
};

class InvokeFunctionResponse : public ResponseNotification {
public:
    InvokeFunctionResponse(bool success, std::string text)
        : ResponseNotification(success)
        , m_text(std::move(text))
    {
    }
    std::string responseText() const override { return m_text; }
    std::string_view responseTextView(std::string&) const override { return m_text; }

private:
    std::string m_text;
};

class LoadModuleResponse : public ResponseNotification {
public:
    LoadModuleResponse(bool success, std::string text)
        : ResponseNotification(success)
        , m_text(std::move(text))
    {
    }
    std::string responseText() const override { return m_text; }
    std::string_view responseTextView(std::string&) const override { return m_text; }

private:
    std::string m_text;
};

} // namespace notification
