// The management library's object model: observers, the class registry, messages and
// their methods, the management thread and its workers, the OS layer's timers, lists
// and record layouts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "QLCommon/Agent.h"
#include "QLCommon/Ll.h"
#include "QLCommon/ManageableObject.h"
#include "QLCommon/algn.h"
#include "QLCommon/mthrd.h"
#include "QLCommon/os.h"
#include "QLCommon/smem.h"

namespace {

using namespace std::chrono_literals;

// --- observers --------------------------------------------------------------------

struct Recorder : CObserver {
    std::vector<std::pair<CSubject*, SubjectHint>>* log;
    explicit Recorder(std::vector<std::pair<CSubject*, SubjectHint>>* l) : log(l) {}
    void Update(CSubject* s, SubjectHint h) override { log->push_back({s, h}); }
};

TEST(Subject, AttachIsOncePerObserverAndNullIsIgnored)
{
    std::vector<std::pair<CSubject*, SubjectHint>> log;
    CSubject subject;
    Recorder a(&log);
    subject.Attach(nullptr);
    subject.Attach(&a);
    subject.Attach(&a);
    EXPECT_EQ(subject.ObserverCount(), 1u);
    EXPECT_EQ(a.SubjectCount(), 1u);
    EXPECT_EQ(subject.Notify(7), 7u);
    EXPECT_EQ(log.size(), 1u);
    subject.Detach(&a);
    EXPECT_EQ(subject.ObserverCount(), 0u);
    EXPECT_EQ(a.SubjectCount(), 0u);
    EXPECT_EQ(subject.Notify(9), 9u);
    EXPECT_EQ(log.size(), 1u);
}

TEST(Subject, NotifiesInAddressOrderNotAttachOrder)
{
    std::vector<std::pair<CSubject*, SubjectHint>> log;
    struct Tagged : CObserver {
        std::vector<CObserver*>* order;
        void Update(CSubject*, SubjectHint) override { order->push_back(this); }
    };
    std::vector<CObserver*> order;
    Tagged observers[3];
    CSubject subject;
    for (int i = 2; i >= 0; i--) {
        observers[i].order = &order;
        subject.Attach(&observers[i]);
    }
    subject.Notify(0);
    ASSERT_EQ(order.size(), 3u);
    EXPECT_LT(order[0], order[1]);
    EXPECT_LT(order[1], order[2]);
}

TEST(Subject, AnObserverDetachedOnAnotherThreadIsNeverCalledAfterwards)
{
    // A widget detaches in its destructor on the user-interface thread while a worker
    // notifies: once Detach returns, no Update may reach the destroyed object.
    CSubject subject;
    std::atomic<bool> stop{false};
    std::thread notifier([&] {
        while (!stop)
            subject.Notify(1);
    });
    for (int i = 0; i < 2000; i++) {
        struct Widget : CObserver {
            std::atomic<bool> alive{true};
            std::atomic<int> late{0};
            void Update(CSubject*, SubjectHint) override
            {
                if (!alive)
                    late++;
            }
        };
        auto* w = new Widget;
        subject.Attach(w);
        std::this_thread::yield();
        subject.Detach(w);
        w->alive = false;
        EXPECT_EQ(w->late.load(), 0);
        delete w;
    }
    stop = true;
    notifier.join();
}

TEST(UIModel, MenuLessModelIgnoresMenuCallsAndOwnsItsMenu)
{
    struct Menu : CUI_Menu {
        int* tracked;
        int* deleted;
        ~Menu() override { (*deleted)++; }
        void TrackPopup(int, int, void*) override { (*tracked)++; }
        void OnMenuCommand(unsigned, uintptr_t) override { (*tracked) += 10; }
    };
    CUI_Model bare;
    bare.ShowMenu(0, 0, nullptr);
    bare.OnMenuCommand(1, 0);
    EXPECT_EQ(bare.GetViewText(), "Test");
    int tracked = 0, deleted = 0;
    {
        CUI_Model model;
        auto* m = new Menu;
        m->tracked = &tracked;
        m->deleted = &deleted;
        model.SetMenu(m);
        model.ShowMenu(1, 2, nullptr);
        model.OnMenuCommand(5, 0);
    }
    EXPECT_EQ(tracked, 11);
    EXPECT_EQ(deleted, 1);
}

// --- managed objects, messages and the management thread ----------------------------

// A transport that answers like a device of the driver.
struct FakeDevice : CMethod {
    FakeDevice() : CMethod("\\\\.\\FAKE0", "IOCTL") {}
};

struct Journal {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<int, int>> runs;  // object id, message number
    int concurrent = 0;
    int maxConcurrentPerObject = 0;
    std::vector<int> inside;

    void record(int object, int message)
    {
        std::lock_guard<std::mutex> g(lock);
        runs.push_back({object, message});
        changed.notify_all();
    }
    bool wait_for(size_t n, std::chrono::milliseconds limit = 10s)
    {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, limit, [&] { return runs.size() >= n; });
    }
};

class CNumberedMessage : public CDialMessage {
public:
    CNumberedMessage(int n, int sleepMs = 0) : CDialMessage("555"), number(n), sleep(sleepMs) {}
    int number;
    int sleep;
};

int g_BuildCount = 0;

class CTestObject : public CManageableObject {
public:
    CTestObject(CMethod* transport, int id, Journal* journal)
        : CManageableObject(transport), m_Id(id), m_Journal(journal)
    {
        Register("CTestObject", sizeof(CTestObject), this);
    }
    ~CTestObject() override
    {
        // Out of the management thread's sight before the derived parts go.
        if (GetTransport() != nullptr)
            GManagementThread.Unregister(this);
        Unregister();
    }
    std::string GetDisplayName() override { return "Test(" + std::to_string(m_Id) + ")"; }

    struct Method : CMessageMethod {
        void Execute(CManageableObject* object, CMessage* message) override
        {
            auto* self = static_cast<CTestObject*>(object);
            auto* m = static_cast<CNumberedMessage*>(message);
            self->m_Inside++;
            EXPECT_EQ(self->m_Inside.load(), 1) << "two workers ran one object";
            if (m->sleep != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(m->sleep));
            self->m_Journal->record(self->m_Id, m->number);
            self->m_Inside--;
            message->Complete(MSG_DONE);
        }
    };
    void BuildVariableMethods() override
    {
        g_BuildCount++;
        AddMethod<CNumberedMessage>("IOCTL", new Method);
        AddMethod<CNumberedMessage>("", new Method);
    }
    int m_Id;
    Journal* m_Journal;
    std::atomic<int> m_Inside{0};
};

struct Completion : CObserver {
    std::mutex lock;
    std::condition_variable changed;
    int count = 0;
    int32_t status = -1;
    void Update(CSubject* s, SubjectHint hint) override
    {
        std::lock_guard<std::mutex> g(lock);
        EXPECT_EQ(hint, 0u);
        status = static_cast<CMessage*>(s)->GetStatus();
        count++;
        changed.notify_all();
    }
    bool wait(std::chrono::milliseconds limit = 10s)
    {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, limit, [&] { return count > 0; });
    }
};

class ManagementThreadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        boxes.clear();
        os_SetMessageBoxHandler([this](const std::string& t) {
            std::lock_guard<std::mutex> g(boxLock);
            boxes.push_back(t);
        });
        ClassVar_OpenLock();
    }
    void TearDown() override
    {
        GManagementThread.Close();
        os_SetMessageBoxHandler(nullptr);
        ClassVar_CloseLock();
    }
    FakeDevice device;
    Journal journal;
    std::mutex boxLock;
    std::vector<std::string> boxes;
};

TEST_F(ManagementThreadTest, ClassRegistryBuildsMethodsOnceAndFreesThemWithTheLastInstance)
{
    g_BuildCount = 0;
    auto* first = new CTestObject(nullptr, 1, &journal);
    auto* second = new CTestObject(nullptr, 2, &journal);
    EXPECT_EQ(g_BuildCount, 1);
    EXPECT_EQ(CClassVarBase::RefCount("CTestObject"), 2);
    delete first;
    EXPECT_EQ(CClassVarBase::RefCount("CTestObject"), 1);
    // The survivor still runs through the shared table.
    second->Push(new CNumberedMessage(1));
    EXPECT_EQ(journal.runs.size(), 1u);
    delete second;
    EXPECT_EQ(CClassVarBase::RefCount("CTestObject"), 0);
    auto* third = new CTestObject(nullptr, 3, &journal);  // the table is built anew
    EXPECT_EQ(g_BuildCount, 2);
    EXPECT_EQ(CClassVarBase::RefCount("CTestObject"), 1);
    delete third;
}

TEST_F(ManagementThreadTest, PushWithoutTransportRunsBeforeReturning)
{
    CTestObject object(nullptr, 1, &journal);
    Completion done;
    object.PushWithObserver(new CNumberedMessage(4), &done);
    EXPECT_EQ(done.count, 1);
    EXPECT_EQ(done.status, MSG_DONE);
    EXPECT_EQ(object.QueueLength(), 0u);
    EXPECT_EQ(done.SubjectCount(), 0u);  // detached before the message was deleted
}

// Objects without a transport run each message once, one at a time: also when two
// threads push at once, and when a message's method pushes to its own object.
TEST_F(ManagementThreadTest, PushesWithoutTransportRunEachMessageOnceAndOneAtATime)
{
    struct CNested : CNumberedMessage {
        explicit CNested(int n) : CNumberedMessage(n) {}
    };
    struct CSelfPusher : CTestObject {
        struct Method : CMessageMethod {
            void Execute(CManageableObject* object, CMessage* message) override
            {
                auto* self = static_cast<CSelfPusher*>(object);
                self->m_Journal->record(self->m_Id, static_cast<CNested*>(message)->number);
                self->Push(new CNumberedMessage(1000 + static_cast<CNested*>(message)->number));
                EXPECT_EQ(self->m_Journal->runs.back().second, static_cast<CNested*>(message)->number)
                    << "the message pushed here runs after this one";
                message->Complete(MSG_DONE);
            }
        };
        CSelfPusher(Journal* j) : CTestObject(nullptr, 7, j) { Register("CSelfPusher", sizeof *this, this); }
        ~CSelfPusher() override { Unregister(); }
        void BuildVariableMethods() override
        {
            AddMethod<CNested>("", new Method);
            AddMethod<CNumberedMessage>("", new CTestObject::Method);
        }
    };
    {
        CSelfPusher self(&journal);
        self.Push(new CNested(1));
        ASSERT_EQ(journal.runs.size(), 2u) << "both ran before the push returned";
        EXPECT_EQ(journal.runs[0].second, 1);
        EXPECT_EQ(journal.runs[1].second, 1001);
        EXPECT_EQ(self.QueueLength(), 0u);
    }

    journal.runs.clear();
    CTestObject shared(nullptr, 1, &journal);
    constexpr int kThreads = 4, kEach = 200;
    std::vector<std::thread> pushers;
    for (int t = 0; t < kThreads; t++)
        pushers.emplace_back([&, t] {
            for (int i = 0; i < kEach; i++) {
                Completion done;
                shared.PushWithObserver(new CNumberedMessage(t * kEach + i), &done);
                EXPECT_EQ(done.count, 1) << "run before its push returned";
            }
        });
    for (auto& p : pushers) p.join();
    std::lock_guard<std::mutex> g(journal.lock);
    ASSERT_EQ(journal.runs.size(), (size_t)kThreads * kEach);
    std::vector<int> seen;
    for (auto& run : journal.runs) seen.push_back(run.second);
    std::sort(seen.begin(), seen.end());
    for (int i = 0; i < kThreads * kEach; i++) ASSERT_EQ(seen[(size_t)i], i) << "each message once";
}

TEST_F(ManagementThreadTest, AMissingMethodShowsItsBoxAndCompletesWithFailure)
{
    struct CUnknownMessage : CMessage {
        CUnknownMessage() : CMessage("Unknown") {}
    };
    CTestObject bare(nullptr, 1, &journal);
    Completion a;
    bare.PushWithObserver(new CUnknownMessage, &a);
    EXPECT_EQ(a.count, 1);
    EXPECT_EQ(a.status, MSG_FAILED);

    ASSERT_TRUE(mthrd_Open());
    CTestObject withDevice(&device, 2, &journal);
    GManagementThread.Register(&withDevice);
    Completion b;
    withDevice.PushWithObserver(new CUnknownMessage, &b);
    ASSERT_TRUE(b.wait());
    EXPECT_EQ(b.status, MSG_FAILED);
    std::lock_guard<std::mutex> g(boxLock);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_NE(boxes[0].find("CUnknownMessage NULL Method does not exist!!"), std::string::npos) << boxes[0];
    EXPECT_EQ(boxes[0].rfind("Error: ", 0), 0u) << boxes[0];
    EXPECT_NE(boxes[1].find("CUnknownMessage IOCTL does not exist!!"), std::string::npos) << boxes[1];
}

TEST_F(ManagementThreadTest, MessagesOfOneObjectRunOneAtATimeInPushOrder)
{
    ASSERT_TRUE(mthrd_Open());
    CTestObject object(&device, 1, &journal);
    GManagementThread.Register(&object);
    for (int i = 0; i < 20; i++)
        object.Push(new CNumberedMessage(i, i % 3));
    ASSERT_TRUE(journal.wait_for(20));
    for (int i = 0; i < 20; i++)
        EXPECT_EQ(journal.runs[i].second, i);
}

TEST_F(ManagementThreadTest, ObjectsWithQueuedMessagesAreServedInRotation)
{
    // Seven workers are held by blocked objects; the eighth serves A, B and C, which
    // queue three messages each, one message per turn, starting after the last served.
    ASSERT_TRUE(mthrd_Open());
    HANDLE gate = os_CreateManualEvent();
    struct CBlockingMessage : CNumberedMessage {
        explicit CBlockingMessage(HANDLE g) : CNumberedMessage(-1), gate(g) {}
        HANDLE gate;
    };
    struct CBlocker : CTestObject {
        struct Method : CMessageMethod {
            void Execute(CManageableObject*, CMessage* m) override
            {
                WaitForSingleObject(static_cast<CBlockingMessage*>(m)->gate, INFINITE);
                m->Complete(MSG_DONE);
            }
        };
        CBlocker(CMethod* t, Journal* j) : CTestObject(t, 100, j) { Register("CBlocker", sizeof *this, this); }
        void BuildVariableMethods() override { AddMethod<CBlockingMessage>("IOCTL", new Method); }
    };
    std::vector<std::unique_ptr<CBlocker>> blockers;
    for (int i = 0; i < CManagementThread::kWorkers - 1; i++) {
        blockers.push_back(std::make_unique<CBlocker>(&device, &journal));
        GManagementThread.Register(blockers.back().get());
        blockers.back()->Push(new CBlockingMessage(gate));
    }
    std::this_thread::sleep_for(50ms);
    std::vector<std::unique_ptr<CTestObject>> objects;
    // However the test ends, the blocked workers are let go before any object goes.
    struct Release {
        HANDLE gate;
        ~Release()
        {
            os_SetEvent(gate);
            GManagementThread.Close();
            os_CloseEvent(gate);
        }
    } release{gate};
    for (int i = 0; i < 3; i++) {
        objects.push_back(std::make_unique<CTestObject>(&device, i, &journal));
        GManagementThread.Register(objects.back().get());
    }
    for (int round = 0; round < 3; round++)
        for (int i = 0; i < 3; i++)
            objects[(size_t)i]->Push(new CNumberedMessage(round, round == 0 ? 50 : 2));
    ASSERT_TRUE(journal.wait_for(9));
    std::vector<int> order;
    {
        std::lock_guard<std::mutex> g(journal.lock);
        for (auto& run : journal.runs)
            order.push_back(run.first);
    }
    // Whichever signal the thread took first, the turns then rotate A, B, C.
    ASSERT_EQ(order.size(), 9u);
    for (size_t i = 0; i < order.size(); i++)
        EXPECT_EQ(order[i], (order[0] + (int)i) % 3) << "turn " << i;
}

TEST_F(ManagementThreadTest, SignalsFromManyThreadsLoseNoMessage)
{
    ASSERT_TRUE(mthrd_Open());
    std::vector<std::unique_ptr<CTestObject>> objects;
    for (int i = 0; i < 12; i++) {
        objects.push_back(std::make_unique<CTestObject>(&device, i, &journal));
        GManagementThread.Register(objects.back().get());
    }
    std::vector<std::thread> pushers;
    for (int t = 0; t < 4; t++)
        pushers.emplace_back([&, t] {
            for (int i = 0; i < 30; i++)
                objects[(size_t)(t * 3 + i % 3)]->Push(new CNumberedMessage(i));
        });
    for (auto& p : pushers)
        p.join();
    EXPECT_TRUE(journal.wait_for(120));
}

// Bursts of pushes from several threads at once, each followed by silence: a signal
// the management thread loses while its workers are idle would leave a message waiting
// for a later push, and the burst would not finish.
TEST_F(ManagementThreadTest, EveryMessageOfABurstRunsWithoutALaterPush)
{
    ASSERT_TRUE(mthrd_Open());
    constexpr int kPushers = 6, kBursts = 1000;
    std::vector<std::unique_ptr<CTestObject>> objects;
    for (int i = 0; i < kPushers; i++) {
        objects.push_back(std::make_unique<CTestObject>(&device, i, &journal));
        GManagementThread.Register(objects.back().get());
    }
    // The pushers spin until the burst number moves on, then push together.
    std::atomic<int> released{-1};
    std::atomic<bool> stop{false};
    std::vector<std::thread> pushers;
    for (int t = 0; t < kPushers; t++)
        pushers.emplace_back([&, t] {
            for (int burst = 0;; burst++) {
                while (released.load() < burst && !stop) std::this_thread::yield();
                if (stop) return;
                objects[(size_t)t]->Push(new CNumberedMessage(burst));
            }
        });
    int burst = 0;
    for (; burst < kBursts; burst++) {
        released = burst;
        if (!journal.wait_for((size_t)(burst + 1) * kPushers, 2s)) break;
    }
    stop = true;
    for (auto& p : pushers) p.join();
    EXPECT_EQ(burst, kBursts) << "a message of burst " << burst << " waited for a later push";
    GManagementThread.Close();
}

TEST_F(ManagementThreadTest, AnInvalidEventIsDroppedAndTheOthersAreStillServed)
{
    struct CBrokenPort : CTestObject {
        CBrokenPort(CMethod* t, Journal* j) : CTestObject(t, 99, j) { m_EventList.push_back(INVALID_HANDLE_VALUE); }
        ~CBrokenPort() override { GManagementThread.Unregister(this); }  // before its base goes
    };
    struct CTimed : CTestObject {
        HANDLE event;
        std::atomic<int> handled{0};
        CTimed(CMethod* t, Journal* j) : CTestObject(t, 1, j), event(os_CreateManualEvent())
        {
            m_EventList.push_back(event);
        }
        ~CTimed() override
        {
            GManagementThread.Unregister(this);
            os_CloseEvent(event);
        }
        void HandleEvent(HANDLE h) override
        {
            os_ResetEvent(h);
            handled++;
            Push(new CNumberedMessage(handled));
        }
    };
    ASSERT_TRUE(mthrd_Open());
    CBrokenPort broken(&device, &journal);
    CTimed timed(&device, &journal);
    GManagementThread.Register(&broken);
    GManagementThread.Register(&timed);
    os_SetEvent(timed.event);
    ASSERT_TRUE(journal.wait_for(1));
    EXPECT_EQ(timed.handled.load(), 1);
}

TEST_F(ManagementThreadTest, CloseWaitsForABusyWorkerToFinishItsMessage)
{
    ASSERT_TRUE(mthrd_Open());
    CTestObject object(&device, 1, &journal);
    GManagementThread.Register(&object);
    Completion done;
    object.PushWithObserver(new CNumberedMessage(1, 300), &done);
    std::this_thread::sleep_for(50ms);  // the worker is inside the message
    GManagementThread.Close();
    EXPECT_FALSE(GManagementThread.IsOpen());
    EXPECT_EQ(done.count, 1);
    EXPECT_EQ(journal.runs.size(), 1u);
}

TEST(Worker, AWorkerBeingClosedIsNeverAssignedAgain)
{
    CWorkerThread worker;
    worker.m_State = WTHRD_CLOSING;
    struct CObj : CManageableObject {
        std::string GetDisplayName() override { return "x"; }
        void BuildVariableMethods() override {}
    } object;
    EXPECT_FALSE(RunForManageableObject(&worker, &object));
    EXPECT_EQ(worker.m_State.load(), WTHRD_CLOSING);
    EXPECT_FALSE(object.IsBusy());
}

// An object handed to a worker that has not woken yet is taken back when it is destroyed,
// so the worker never runs a freed object. The pool is not open: worker 0 is idle in name
// only and never takes the hand-over.
TEST_F(ManagementThreadTest, AnObjectHandedToAWorkerNotYetAwakeIsTakenBackWhenDestroyed)
{
    CWorkerThread* worker = GManagementThread.Worker(0);
    worker->m_State = WTHRD_IDLE;
    {
        CTestObject object(&device, 1, &journal);
        ASSERT_TRUE(RunForManageableObject(worker, &object));
        EXPECT_TRUE(object.IsBusy());
    }
    EXPECT_EQ(worker->m_pObject.load(), nullptr);
    worker->m_State = WTHRD_CREATED;
}

// Objects destroyed as soon as their message is signalled: each one either runs its
// message before it goes or completes it as failed, and no worker touches it afterwards.
TEST_F(ManagementThreadTest, ObjectsDestroyedRightAfterAPushAreNeverRunAfterwards)
{
    ASSERT_TRUE(mthrd_Open());
    for (int i = 0; i < 200; i++) {
        Completion done;
        {
            auto object = std::make_unique<CTestObject>(&device, i, &journal);
            GManagementThread.Register(object.get());
            object->PushWithObserver(new CNumberedMessage(i), &done);
        }
        ASSERT_EQ(done.count, 1) << i;
    }
    GManagementThread.Close();
}

TEST_F(ManagementThreadTest, WithNoObjectSignalsAndCompletionsChangeNothing)
{
    ASSERT_TRUE(mthrd_Open());
    CTestObject stray(&device, 1, &journal);  // never registered
    stray.Push(new CNumberedMessage(1));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(journal.runs.empty());
    EXPECT_EQ(stray.QueueLength(), 1u);
    GManagementThread.Close();
}

TEST_F(ManagementThreadTest, DestroyingAnObjectCompletesItsQueuedMessagesAsFailed)
{
    Completion done;
    {
        CTestObject object(&device, 1, &journal);  // not registered: nothing runs it
        object.PushWithObserver(new CNumberedMessage(1), &done);
    }
    EXPECT_EQ(done.count, 1);
    EXPECT_EQ(done.status, MSG_FAILED);
}

// A message that runs a piece of the test on its worker.
class CCallMessage : public CDialMessage {
public:
    explicit CCallMessage(std::function<void()> f) : CDialMessage("555"), fn(std::move(f)) {}
    std::function<void()> fn;
};

class CCallObject : public CManageableObject {
public:
    explicit CCallObject(CMethod* transport) : CManageableObject(transport)
    {
        Register("CCallObject", sizeof(CCallObject), this);
    }
    ~CCallObject() override
    {
        GManagementThread.Unregister(this);
        Unregister();
        if (event != nullptr)
            os_CloseEvent(event);
    }
    std::string GetDisplayName() override { return "Call"; }
    void WithEvent()
    {
        event = os_CreateManualEvent();
        m_EventList.push_back(event);
    }
    struct Method : CMessageMethod {
        void Execute(CManageableObject*, CMessage* message) override
        {
            static_cast<CCallMessage*>(message)->fn();
            message->Complete(MSG_DONE);
        }
    };
    void BuildVariableMethods() override { AddMethod<CCallMessage>("IOCTL", new Method); }
    HANDLE event = nullptr;
};

// The last worker closed may still be running a message when the management thread,
// woken by an event, finds every worker closing and ends. That message unregistering an
// object neither hangs nor keeps the pool from closing.
TEST_F(ManagementThreadTest, AMessageOnTheLastWorkerClosedMayStillUnregisterAnObject)
{
    ASSERT_TRUE(mthrd_Open());
    for (int i = 0; i < CManagementThread::kWorkers; i++)
        for (int k = 0; k < 1000 && GManagementThread.Worker(i)->m_State.load() != WTHRD_IDLE; k++)
            std::this_thread::sleep_for(1ms);
    // The workers' start-up signals taken, each message goes to the first idle worker.
    std::this_thread::sleep_for(100ms);
    std::mutex lock;
    std::condition_variable changed;
    int started = 0;
    bool releaseFirst = false, releaseLast = false, unregistered = false;
    CCallObject other(&device);
    other.WithEvent();
    GManagementThread.Register(&other);
    std::vector<std::unique_ptr<CCallObject>> busy;
    for (int i = 0; i < CManagementThread::kWorkers; i++) {
        busy.push_back(std::make_unique<CCallObject>(&device));
        GManagementThread.Register(busy.back().get());
        const bool last = i + 1 == CManagementThread::kWorkers;
        busy.back()->Push(new CCallMessage([&, last] {
            std::unique_lock<std::mutex> g(lock);
            started++;
            changed.notify_all();
            changed.wait(g, [&] { return last ? releaseLast : releaseFirst; });
            g.unlock();
            if (last) {
                GManagementThread.Unregister(&other);
                std::lock_guard<std::mutex> g2(lock);
                unregistered = true;
            }
        }));
        std::unique_lock<std::mutex> g(lock);
        ASSERT_TRUE(changed.wait_for(g, 10s, [&] { return started == i + 1; })) << i;
    }
    auto releaseAll = [&] {
        std::lock_guard<std::mutex> g(lock);
        releaseFirst = releaseLast = true;
        changed.notify_all();
    };
    CWorkerThread* lastWorker = GManagementThread.Worker(CManagementThread::kWorkers - 1);
    if (lastWorker->m_State.load() != WTHRD_ASSIGNED) {
        releaseAll();
        FAIL() << "one message per worker, the last on the last worker";
    }

    std::atomic<bool> closed{false};
    std::thread closer([&] {
        GManagementThread.Close();
        closed = true;
    });
    {
        std::lock_guard<std::mutex> g(lock);
        releaseFirst = true;
        changed.notify_all();
    }
    for (int i = 0; i < 1000 && lastWorker->m_State.load() != WTHRD_CLOSING; i++)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(lastWorker->m_State.load(), WTHRD_CLOSING);
    os_SetEvent(other.event);  // the management thread wakes, finds no worker left and ends
    std::this_thread::sleep_for(100ms);
    releaseAll();
    for (int i = 0; i < 1000 && !closed; i++)
        std::this_thread::sleep_for(10ms);
    if (!closed) {
        std::fprintf(stderr, "the pool never closed: the unregistering message hangs\n");
        std::_Exit(1);  // the hung threads cannot be joined
    }
    closer.join();
    EXPECT_TRUE(unregistered);
    EXPECT_FALSE(GManagementThread.IsOpen());
    EXPECT_EQ(GManagementThread.ObjectCount(), CManagementThread::kWorkers);
    for (auto& o : busy)
        GManagementThread.Unregister(o.get());
}

TEST(SMemIndex, IndicesAreBounded)
{
    CSMemIndex empty;
    EXPECT_EQ(empty.Get(0), -1);
    int32_t many[7] = {1, 2, 3, 4, 5, 6, 7};
    CSMemIndex clipped(many, 7);
    EXPECT_EQ(clipped.Count(), 5);
    EXPECT_EQ(clipped.Get(4), 5);
    EXPECT_EQ(clipped.Get(5), -1);
    EXPECT_EQ(clipped.Get(-1), -1);
    CSMemIndex negative(many, -3);
    EXPECT_EQ(negative.Count(), 0);
    clipped.Add(9, 1);  // out of range: nothing
    EXPECT_TRUE(clipped == CSMemIndex(many, 5));
    CSMemIndex two(4, 5);
    two.Add(1, 2);
    EXPECT_EQ(two.Get(1), 7);
}

TEST(SMem, OpenBuildsTheAgentOverNoDevicesAndCloseStopsEveryThread)
{
    auto root = std::filesystem::temp_directory_path() / ("qlcommon-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root);
    ::setenv("VORNET_ROOT", root.c_str(), 1);
    EXPECT_FALSE(smem_Open(0));
    EXPECT_EQ(GAgent, nullptr);
    ASSERT_TRUE(smem_Open(1));
    ASSERT_NE(GAgent, nullptr);
    EXPECT_TRUE(GAgent->GetAdapters().empty());
    EXPECT_EQ(smem_ReturnGetPtr(0x0000FFFF, CSMemIndex()), GAgent);
    EXPECT_EQ(smem_ReturnGetPtr(0x000000FF, CSMemIndex()), &GAgent->m_Info);
    EXPECT_EQ(smem_ReturnGetPtr(0x00000006, CSMemIndex()), &GAgent->m_Info.m_Record.SerialModemsAdded);
    EXPECT_EQ(smem_ReturnGetPtr(0x00000008, CSMemIndex()), nullptr);  // beyond the table
    EXPECT_EQ(smem_ReturnGetPtr(0xFFFFFFFF, CSMemIndex()), nullptr);
    EXPECT_EQ(smem_ReturnGetPtr(0x00A00000, CSMemIndex()), nullptr);
    EXPECT_EQ(GAgent->m_Info.m_Record.CallHistory, 0xFFFFFFFFu);
    EXPECT_EQ(GAgent->m_Info.m_Record.AdapterCount, 0u);
    // A read through the agent runs on the caller's thread.
    Completion done;
    auto* read = new CReadVariableMessage<zelagt_tInfo>(zelagt_tInfo_Table);
    GAgent->PushWithObserver(read, &done);
    EXPECT_EQ(done.status, MSG_DONE);
    EXPECT_TRUE(GManagementThread.IsOpen());
    smem_Close();
    EXPECT_FALSE(GManagementThread.IsOpen());
    EXPECT_EQ(GAgent, nullptr);
    EXPECT_EQ(CClassVarBase::RefCount("CAgent"), 0);
    // And again, as when the sheet is opened a second time.
    ASSERT_TRUE(smem_Open(1));
    smem_Close();
    std::filesystem::remove_all(root);
}

// --- the OS layer -----------------------------------------------------------------

TEST(OSTimer, TicksCountDownByFiftyMillisecondsAndTheThreadTimerFollowsTheList)
{
    int started = 0, stopped = 0;
    os_SetThreadTimerHooks({[&] { started++; }, [&] { stopped++; }});
    {
        COS_Timer every(50, true);
        COS_Timer second(120, true);  // 2 ticks: the remainder is dropped
        COS_Timer once(100, false);
        EXPECT_EQ(started, 1);
        struct Case {
            bool every, second, once;
        };
        const Case ticks[] = {{true, false, false}, {true, true, true}, {true, false, false}, {true, true, false}};
        for (const Case& c : ticks) {
            os_TimerProc();
            EXPECT_EQ(every.TestEvent(), c.every);
            EXPECT_EQ(second.TestEvent(), c.second);
            EXPECT_EQ(once.TestEvent(), c.once);
        }
        EXPECT_FALSE(every.TestEvent());  // auto-reset: consumed by the test
    }
    EXPECT_EQ(stopped, 1);
    EXPECT_FALSE(os_ThreadTimerRunning());
    {
        COS_Timer again(2000, true);
        EXPECT_EQ(started, 2);
        EXPECT_EQ(again.GetTicksLeft(), 40u);
    }
    EXPECT_EQ(stopped, 2);
    os_SetThreadTimerHooks({});
}

TEST(OSTimer, TheLibrarysOwnTickerFiresWithoutAHost)
{
    COS_Timer t(50, true);
    EXPECT_EQ(WaitForSingleObject(t.GetHandle(), 2000), WAIT_OBJECT_0);
}

TEST(OSFind, PathsJoinWithOneBackslash)
{
    EXPECT_EQ(os_FindPath("C:\\LOGS\\", "*.TXT"), "C:\\LOGS\\*.TXT");
    EXPECT_EQ(os_FindPath("C:\\LOGS", "*.TXT"), "C:\\LOGS\\*.TXT");
    EXPECT_EQ(os_FindPath("", "*.TXT"), "*.TXT");
}

TEST(OSWaitList, AddRemoveAndWaitForAny)
{
    struct Ev : COS_SyncObject {
        HANDLE h = os_CreateManualEvent();
        ~Ev() override { os_CloseEvent(h); }
        HANDLE GetHandle() override { return h; }
    } a, b, c;
    COS_WaitList list;
    EXPECT_TRUE(list.Add(&a));
    EXPECT_TRUE(list.Add(&b));
    EXPECT_TRUE(list.Add(&c));
    EXPECT_EQ(list.Wait(0), nullptr);
    os_SetEvent(c.h);
    os_SetEvent(b.h);
    EXPECT_EQ(list.Wait(0), &b);
    EXPECT_TRUE(list.Remove(&b));
    EXPECT_FALSE(list.Remove(&b));
    EXPECT_EQ(list.Wait(0), &c);
}

// --- linked lists -----------------------------------------------------------------

std::vector<int> Contents(ll_tList* list)
{
    std::vector<int> out;
    ll_tIterator it;
    ll_CreateIterator(&it, list);
    for (void* p = ll_First(&it); p != nullptr; p = ll_Next(&it))
        out.push_back(*static_cast<int*>(p));
    return out;
}

TEST(LinkedList, OperationsAsATable)
{
    ll_tList list;
    ll_CreateList(&list, LL_COPY_ITEMS, ll_alloc, ll_Free);
    int v[] = {10, 20, 30, 40};
    for (int& x : v)
        ll_Append(&list, &x, sizeof x);
    ll_tIterator it;
    ll_CreateIterator(&it, &list);
    struct Step {
        const char* what;
        std::function<void*()> op;
        int expectCurrent;  // -1: none
        std::vector<int> expectList;
    };
    int five = 5, twentyFive = 25;
    std::vector<Step> steps = {
        {"first", [&] { return ll_First(&it); }, 10, {10, 20, 30, 40}},
        {"next", [&] { return ll_Next(&it); }, 20, {10, 20, 30, 40}},
        {"insert after", [&] { ll_Insert(&it, LL_AFTER, &twentyFive, 4); return ll_Current(&it); }, 20,
         {10, 20, 25, 30, 40}},
        {"insert head", [&] { ll_InsertHead(&list, &five, 4); return ll_Current(&it); }, 20, {5, 10, 20, 25, 30, 40}},
        {"last", [&] { return ll_Last(&it); }, 40, {5, 10, 20, 25, 30, 40}},
        {"next past the end stays", [&] { ll_Next(&it); return ll_Current(&it); }, 40, {5, 10, 20, 25, 30, 40}},
        {"remove the last moves back", [&] { return ll_RemoveCurrent(&it); }, 30, {5, 10, 20, 25, 30}},
        {"first then remove moves on", [&] { ll_First(&it); return ll_RemoveCurrent(&it); }, 10, {10, 20, 25, 30}},
        {"prev at the head stays", [&] { ll_Prev(&it); return ll_Current(&it); }, 10, {10, 20, 25, 30}},
    };
    for (auto& s : steps) {
        void* p = s.op();
        if (s.expectCurrent < 0) {
            EXPECT_EQ(p, nullptr) << s.what;
        } else {
            ASSERT_NE(p, nullptr) << s.what;
        }
        if (p != nullptr) {
            EXPECT_EQ(*static_cast<int*>(p), s.expectCurrent) << s.what;
        }
        EXPECT_EQ(Contents(&list), s.expectList) << s.what;
    }
    EXPECT_EQ(ll_Count(&list), 4u);

    // The head into a buffer too small answers the item's size and changes nothing.
    uint16_t small;
    EXPECT_EQ(ll_RemoveHead(&list, &small, sizeof small), 4);
    EXPECT_EQ(ll_Count(&list), 4u);
    int got = 0;
    EXPECT_EQ(ll_RemoveHead(&list, &got, sizeof got), 0);
    EXPECT_EQ(got, 10);

    void* taken = ll_TakeFirst(&list);
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(*static_cast<int*>(taken), 20);
    ll_Free(taken);

    ll_tList copy;
    std::memset(&copy, 0, sizeof copy);
    ll_CopyList(&copy, &list);
    EXPECT_TRUE(ll_IsCreated(&copy));
    EXPECT_EQ(copy.flags, LL_COPY_ITEMS);
    EXPECT_EQ(Contents(&copy), (std::vector<int>{25, 30}));
    ll_DestroyList(&copy);

    ll_RemoveAll(&list);
    EXPECT_EQ(ll_RemoveHead(&list, &got, sizeof got), -1);
    ll_CreateIterator(&it, &list);
    EXPECT_EQ(ll_Current(&it), nullptr);
    ll_DestroyList(&list);
}

TEST(LinkedList, RemovingTheOnlyItemEmptiesIt)
{
    ll_tList list;
    ll_CreateList(&list, LL_COPY_ITEMS, nullptr, nullptr);
    int x = 1;
    ll_Append(&list, &x, sizeof x);
    ll_tIterator it;
    ll_CreateIterator(&it, &list);
    EXPECT_EQ(ll_RemoveCurrent(&it), nullptr);
    EXPECT_EQ(list.first, nullptr);
    EXPECT_EQ(list.last, nullptr);
    EXPECT_EQ(ll_Current(&it), nullptr);
    ll_DestroyList(&list);
}

TEST(LinkedList, ItemsNotCopiedAreReferencedAndFreedWithTheList)
{
    ll_tList list;
    ll_CreateList(&list, 1, nullptr, nullptr);
    void* item = ll_alloc(8);
    ll_Append(&list, item, 8);
    EXPECT_EQ(ll_ItemRefCount(item), 1);
    ll_Free(item);  // still in the list: only traced
    EXPECT_EQ(ll_Count(&list), 1u);
    ll_DestroyList(&list);  // frees it (the leak checker would say otherwise)
}

// --- record layouts ---------------------------------------------------------------

TEST(Alignment, FieldOffsetsAndSizesForPackedAndAlignedRecords)
{
    const algn_tField odd[] = {{algn_kBYTE, 1, nullptr, 0, nullptr, 0},
                               {algn_kDWord, 1, nullptr, 0, nullptr, 1},
                               {algn_kWord, 1, nullptr, 0, nullptr, 2},
                               {algn_kEnd, 0, nullptr, 0, nullptr, 0}};
    struct Case {
        int alignment;
        uint32_t size;
        std::vector<long> offsets;
    };
    for (const Case& c : {Case{1, 7, {0, 1, 5}}, Case{4, 12, {0, 4, 8}}, Case{2, 8, {0, 2, 6}}}) {
        EXPECT_EQ(algn_StructSize(odd, c.alignment), c.size) << c.alignment;
        algn_tIterator it;
        std::vector<long> offsets;
        for (long o = algn_FirstField(&it, odd, c.alignment); o >= 0; o = algn_NextField(&it))
            offsets.push_back(o);
        EXPECT_EQ(offsets, c.offsets) << c.alignment;
        EXPECT_EQ(algn_FieldOffset(odd, &odd[2], c.alignment), c.offsets[2]);
    }
    for (uint32_t s : {1u, 2u, 4u, 8u})
        EXPECT_EQ(algn_FieldAlgn(0, s, 4), 0u);
    EXPECT_EQ(algn_StructAlignment(odd), 4u);

    const algn_tField nested[] = {{algn_kBYTE, 1, nullptr, 0, nullptr, 0},
                                  {algn_kStruct, 2, odd, 0, nullptr, 1},
                                  {algn_kEnd, 0, nullptr, 0, nullptr, 0}};
    EXPECT_EQ(algn_StructSize(nested, 1), 15u);
    algn_tIterator it;
    std::vector<long> offsets;
    for (long o = algn_FirstField(&it, nested, 1); o >= 0; o = algn_NextField(&it))
        offsets.push_back(o);
    EXPECT_EQ(offsets, (std::vector<long>{0, 1, 2, 6, 8, 9, 13}));
}

TEST(Alignment, EveryRecordTableMatchesItsRecord)
{
    struct Case {
        const char* name;
        const algn_tField* table;
        uint32_t size;
        int fields;
    };
    const Case cases[] = {
        {"zelagt_tInfo", zelagt_tInfo_Table, sizeof(zelagt_tInfo) - 4, 8},
        {"zelmdm_tLastCallInfo", zelmdm_tLastCallInfo_Table, sizeof(zelmdm_tLastCallInfo), 23},
        {"zelmdm_tGeneralStatus", zelmdm_tGeneralStatus_Table, sizeof(zelmdm_tGeneralStatus), 14},
        {"zelmdm_tGeneralConfig", zelmdm_tGeneralConfig_Table, sizeof(zelmdm_tGeneralConfig), 27},
        {"zelmdm_tDialControlConfig", zelmdm_tDialControlConfig_Table, sizeof(zelmdm_tDialControlConfig), 5},
        {"zelmdm_tCallControlConfig", zelmdm_tCallControlConfig_Table, sizeof(zelmdm_tCallControlConfig), 11},
        {"zelmdm_tCallStatistics", zelmdm_tCallStatistics_Table, sizeof(zelmdm_tCallStatistics), 19},
        {"rpri_tSetup", rpri_tSetup_Table, sizeof(rpri_tSetup), 9},
        {"rpri_tDirNumSetup", rpri_tDirNumSetup_Table, sizeof(rpri_tDirNumSetup), 1},
        {"rpri_tPRI", rpri_tPRI_Table, sizeof(rpri_tPRI), 3},
        {"rpri_tPRIChannel", rpri_tPRIChannel_Table, sizeof(rpri_tPRIChannel), 5},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(algn_StructSize(c.table, 1), c.size) << c.name;
        EXPECT_EQ(algn_FieldCount(c.table), c.fields) << c.name;
    }
    // Field offsets against the compiler's own layout of the packed records.
    algn_tIterator it;
    algn_FirstField(&it, zelmdm_tGeneralStatus_Table, 1);
    for (int i = 0; i < 12; i++)
        algn_NextField(&it);
    EXPECT_EQ(it.Leaves[12].Offset, offsetof(zelmdm_tGeneralStatus, OutOfService));
    algn_FirstField(&it, rpri_tSetup_Table, 1);
    EXPECT_EQ(it.Leaves[8].Offset, offsetof(rpri_tSetup, SystemBusMode));
    algn_FirstField(&it, rpri_tPRIChannel_Table, 1);
    EXPECT_EQ(it.Leaves[4].Offset, offsetof(rpri_tPRIChannel, Text2));
}

TEST(Alignment, FieldPointersBySMemIdAndTheirBounds)
{
    const algn_tVariable vars[] = {
        {ZELMDM_GENERALSTATUS_ID, zelmdm_tGeneralStatus_Table, sizeof(zelmdm_tGeneralStatus), nullptr},
        {RPRI_SETUP_ID, rpri_tSetup_Table, sizeof(rpri_tSetup), nullptr},
        {0, nullptr, 0, nullptr},
    };
    algn_tVariable* cache = algn_BuildOffsetCache(vars);
    EXPECT_EQ(algn_CheckTables(cache), 0);
    struct Object {
        zelmdm_tGeneralStatus status;  // at 0
    } object{};
    const algn_tField* row = nullptr;
    EXPECT_EQ(algn_GetFieldPointer(&object, 0x0001200C, cache, &row), &object.status.OutOfService);
    EXPECT_EQ(row, &zelmdm_tGeneralStatus_Table[12]);
    EXPECT_EQ(algn_GetFieldPointer(&object, 0x0001200E, cache), nullptr);  // field 14 does not exist
    EXPECT_EQ(algn_GetFieldPointer(&object, 0x00013000, cache), nullptr);  // nor variable 0x3000
    algn_FreeOffsetCache(cache);

    const algn_tVariable wrongSize[] = {{RPRI_SETUP_ID, rpri_tSetup_Table, 12, nullptr}, {0, nullptr, 0, nullptr}};
    EXPECT_EQ(algn_CheckTables(wrongSize), 1);
}

TEST(Alignment, ValuesByTypeCompareAndByteOrder)
{
    rpri_tSetup setup;
    std::memset(&setup, 0xFF, sizeof setup);
    EXPECT_EQ(algn_GetFieldValue(&rpri_tSetup_Table[0], &setup, 0), -1);  // signed byte
    EXPECT_EQ(algn_GetFieldValue(&rpri_tSetup_Table[5], &setup, 5), 255);  // unsigned byte
    algn_SetFieldValue(&rpri_tSetup_Table[8], &setup, 8, 0x102);
    EXPECT_EQ(setup.SystemBusMode, 2);
    EXPECT_EQ(setup.Field7, 0xFF);  // nothing spilled over

    rpri_tSetup other = setup;
    EXPECT_EQ(algn_CompareField(&rpri_tSetup_Table[8], &setup, &other, 8, 1), 0);
    other.SystemBusMode = 3;
    EXPECT_EQ(algn_CompareField(&rpri_tSetup_Table[8], &setup, &other, 8, 1), -1);
    EXPECT_EQ(algn_CompareField(&rpri_tSetup_Table[8], &other, &setup, 8, 1), 1);

    const algn_tField odd[] = {{algn_kBYTE, 1, nullptr, 0, nullptr, 0},
                               {algn_kDWord, 1, nullptr, 0, nullptr, 1},
                               {algn_kWord, 1, nullptr, 0, nullptr, 2},
                               {algn_kEnd, 0, nullptr, 0, nullptr, 0}};
    const unsigned char packed[7] = {0xAA, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    unsigned char aligned[12];
    std::memset(aligned, 0xEE, sizeof aligned);
    algn_ConvertData(aligned, 4, algn_kBigEndian, packed, 1, algn_kLittleEndian, odd);
    const unsigned char expect[12] = {0xAA, 0, 0, 0, 0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 0, 0};
    EXPECT_EQ(std::memcmp(aligned, expect, 12), 0);
    unsigned char back[7];
    algn_ConvertData(back, 1, algn_kLittleEndian, aligned, 4, algn_kBigEndian, odd);
    EXPECT_EQ(std::memcmp(back, packed, 7), 0);

    unsigned char word[4] = {1, 2, 3, 4};
    algn_Flip(word, 0, word, 1, 4);
    EXPECT_EQ(word[0], 4);
    EXPECT_EQ(word[3], 1);
}

TEST(Alignment, RecordsWithEmbeddedListsCopyAndFreeThem)
{
    const algn_tField withList[] = {{algn_kDouble, 1, nullptr, 0, nullptr, 0},
                                    {algn_kList, 1, nullptr, 0, nullptr, 1},
                                    {algn_kEnd, 0, nullptr, 0, nullptr, 0}};
    void* a = algn_AllocRecord(withList);
    algn_FillRecord(withList, a, 0x11);
    auto* list = reinterpret_cast<ll_tList*>(static_cast<unsigned char*>(a) + 8);
    ll_CreateList(list, LL_COPY_ITEMS, ll_alloc, ll_Free);
    int x = 42;
    ll_Append(list, &x, sizeof x);
    void* b = algn_AllocRecord(withList);
    algn_CopyRecord(withList, b, a);
    auto* copy = reinterpret_cast<ll_tList*>(static_cast<unsigned char*>(b) + 8);
    EXPECT_EQ(Contents(copy), std::vector<int>{42});
    EXPECT_NE(copy->first, list->first);
    EXPECT_EQ(*static_cast<uint32_t*>(b), 0x11111111u);
    algn_FreeRecord(withList, a);
    algn_FreeRecord(withList, b);
}

}  // namespace
