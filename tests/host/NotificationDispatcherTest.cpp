#include "notification/ConnectionNotifications.h"
#include "notification/NotificationDispatcher.h"
#include "notification/Observer.h"
#include "notification/PluginNotifications.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace notification;

namespace {

// Notes every notification its handlers receive, in order.
class Recorder {
public:
    void onResponse(std::shared_ptr<ResponseNotification> n)
    {
        log.push_back("response " + n->msgId());
        lastResponse = n;
    }
    void onLoad(std::shared_ptr<LoadPluginNotification> n) { log.push_back("load " + n->moduleName()); }
    void onOther(std::shared_ptr<LoadPluginNotification> n) { log.push_back("other " + n->moduleName()); }
    void onThrowOnce(std::shared_ptr<LoadPluginNotification>)
    {
        log.push_back("thrower");
        if (!thrown) {
            thrown = true;
            throw std::runtime_error("handler failed");
        }
    }
    void onSubscribeMore(std::shared_ptr<LoadPluginNotification>)
    {
        log.push_back("subscriber");
        dispatcher->subscribe(Observer<Recorder, LoadPluginNotification>(this, &Recorder::onLoad));
    }

    void onForward(std::shared_ptr<LoadPluginNotification> n)
    {
        log.push_back("forward " + n->moduleName());
        auto answer = std::make_shared<LoadModuleResponse>(true, "loaded");
        answer->setMsgId(n->moduleName());
        next->post(std::move(answer));
        log.push_back("forwarded");
    }

    std::vector<std::string> log;
    std::shared_ptr<ResponseNotification> lastResponse;
    NotificationDispatcher* next = nullptr;
    bool thrown = false;
    NotificationDispatcher* dispatcher = nullptr;
};

using LoadObserver = Observer<Recorder, LoadPluginNotification>;
using ResponseObserver = Observer<Recorder, ResponseNotification>;

std::shared_ptr<LoadPluginNotification> load(const char* name)
{
    return std::make_shared<LoadPluginNotification>(name);
}

TEST(NotificationDispatcherTest, post_deliversByDynamicTypeIncludingDerivedClasses)
{
    Recorder recorder;
    NotificationDispatcher dispatcher;
    dispatcher.subscribe(ResponseObserver(&recorder, &Recorder::onResponse));
    dispatcher.subscribe(LoadObserver(&recorder, &Recorder::onLoad));

    auto invalid = std::make_shared<InvalidSyntaxResponse>("Bad request");
    dispatcher.post(invalid);
    dispatcher.post(load("m"));
    dispatcher.post(std::make_shared<UnLoadPluginNotification>());
    dispatcher.post(nullptr);
    dispatcher.post(invalid); // a type seen before, after others

    EXPECT_EQ(recorder.log, (std::vector<std::string>{"response InvalidSyntax", "load m", "response InvalidSyntax"}));
    EXPECT_EQ(recorder.lastResponse, invalid);
}

TEST(NotificationDispatcherTest, subscribingTwice_deliversTwiceInSubscriptionOrder)
{
    Recorder recorder;
    NotificationDispatcher dispatcher;
    dispatcher.subscribe(LoadObserver(&recorder, &Recorder::onLoad));
    dispatcher.subscribe(LoadObserver(&recorder, &Recorder::onOther));
    dispatcher.subscribe(LoadObserver(&recorder, &Recorder::onLoad));

    dispatcher.post(load("m"));

    EXPECT_EQ(recorder.log, (std::vector<std::string>{"load m", "other m", "load m"}));
}

TEST(NotificationDispatcherTest, observerSubscribedDuringPost_isCalledOnlyByLaterPosts)
{
    Recorder recorder;
    NotificationDispatcher dispatcher;
    recorder.dispatcher = &dispatcher;
    dispatcher.subscribe(LoadObserver(&recorder, &Recorder::onSubscribeMore));

    dispatcher.post(load("first"));
    EXPECT_EQ(recorder.log, (std::vector<std::string>{"subscriber"}));

    // The observer added by the first post runs now; the one this post adds does not.
    recorder.log.clear();
    dispatcher.post(load("second"));
    EXPECT_EQ(recorder.log, (std::vector<std::string>{"subscriber", "load second"}));
}

TEST(NotificationDispatcherTest, handlerPostingToAnotherDispatcher_isAnsweredBeforeItsPostReturns)
{
    Recorder recorder;
    NotificationDispatcher commands;
    NotificationDispatcher responses;
    recorder.next = &responses;
    commands.subscribe(LoadObserver(&recorder, &Recorder::onForward));
    responses.subscribe(ResponseObserver(&recorder, &Recorder::onResponse));

    commands.post(load("m"));

    EXPECT_EQ(recorder.log, (std::vector<std::string>{"forward m", "response m", "forwarded"}));
}

TEST(NotificationDispatcherTest, throwingHandler_stopsThatPostOnly)
{
    Recorder recorder;
    NotificationDispatcher dispatcher;
    dispatcher.subscribe(LoadObserver(&recorder, &Recorder::onThrowOnce));
    dispatcher.subscribe(LoadObserver(&recorder, &Recorder::onLoad));

    EXPECT_THROW(dispatcher.post(load("a")), std::runtime_error);
    EXPECT_EQ(recorder.log, (std::vector<std::string>{"thrower"}));

    dispatcher.post(load("b"));
    EXPECT_EQ(recorder.log, (std::vector<std::string>{"thrower", "thrower", "load b"}));
}

TEST(NotificationDispatcherTest, detachedObserver_andItsCopy_deliverNothing)
{
    Recorder recorder;
    LoadObserver observer(&recorder, &Recorder::onLoad);
    observer.detach();
    observer.deliver(load("a"));
    std::unique_ptr<AbstractObserver> copy(observer.copy());
    copy->deliver(load("b"));
    EXPECT_TRUE(recorder.log.empty());
}

TEST(NotificationDispatcherTest, sameAs_comparesInstantiationTargetAndHandler)
{
    Recorder recorder;
    Recorder otherRecorder;
    LoadObserver observer(&recorder, &Recorder::onLoad);
    std::unique_ptr<AbstractObserver> copy(observer.copy());

    EXPECT_TRUE(observer.sameAs(*copy));
    EXPECT_TRUE(copy->sameAs(observer));
    EXPECT_FALSE(observer.sameAs(LoadObserver(&recorder, &Recorder::onOther)));
    EXPECT_FALSE(observer.sameAs(LoadObserver(&otherRecorder, &Recorder::onLoad)));
    EXPECT_FALSE(observer.sameAs(ResponseObserver(&recorder, &Recorder::onResponse)));
}

TEST(NotificationDispatcherTest, handles_acceptsTheObservedClassAndItsSubclassesOnly)
{
    Recorder recorder;
    ResponseObserver observer(&recorder, &Recorder::onResponse);
    EXPECT_TRUE(observer.handles(std::make_shared<ResponseNotification>(true)));
    EXPECT_TRUE(observer.handles(std::make_shared<LoadModuleResponse>(true, "t")));
    EXPECT_FALSE(observer.handles(load("m")));
    EXPECT_FALSE(observer.handles(nullptr));
    EXPECT_TRUE(recorder.log.empty());
}

} // namespace
