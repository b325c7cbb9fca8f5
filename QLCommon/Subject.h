// Subjects and observers. A subject keeps its observers in address order and guards the
// set with its own lock, held while it notifies, so an observer that has detached is
// never called afterwards. Observers only post, invalidate or set events from Update.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

// A hint: 0 for a completed message, or a pointer to a temporary read-variable message.
typedef uintptr_t SubjectHint;

class CObserver;

class CSubject {
public:
    CSubject() = default;
    virtual ~CSubject() = default;
    CSubject(const CSubject&) = delete;
    CSubject& operator=(const CSubject&) = delete;

    virtual void Attach(CObserver* observer);
    virtual void Detach(CObserver* observer);
    void DetachAll();
    SubjectHint Notify(SubjectHint hint);
    // Detaches every observer, then notifies each once: after its Update returns an
    // observer is never touched again, so it may go away at once.
    SubjectHint NotifyAndDetachAll(SubjectHint hint);
    size_t ObserverCount();

private:
    std::recursive_mutex m_Lock;
    std::map<CObserver*, bool> m_Observers;
};

class CObserver {
public:
    CObserver() = default;
    virtual ~CObserver() = default;
    CObserver(const CObserver&) = delete;
    CObserver& operator=(const CObserver&) = delete;

    virtual void Update(CSubject* subject, SubjectHint hint) = 0;
    void AddSubject(CSubject* subject);
    void RemoveSubject(CSubject* subject);
    size_t SubjectCount();

private:
    std::mutex m_Lock;
    std::map<CSubject*, bool> m_Subjects;
};
