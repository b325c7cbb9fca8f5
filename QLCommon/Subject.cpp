#include "QLCommon/Subject.h"

#include <vector>

void CSubject::Attach(CObserver* observer)
{
    if (observer == nullptr)
        return;
    std::lock_guard<std::recursive_mutex> g(m_Lock);
    m_Observers[observer] = true;
    observer->AddSubject(this);
}

void CSubject::Detach(CObserver* observer)
{
    if (observer == nullptr)
        return;
    std::lock_guard<std::recursive_mutex> g(m_Lock);
    m_Observers.erase(observer);
    observer->RemoveSubject(this);
}

void CSubject::DetachAll()
{
    std::lock_guard<std::recursive_mutex> g(m_Lock);
    while (!m_Observers.empty()) {
        CObserver* first = m_Observers.begin()->first;
        first->RemoveSubject(this);
        m_Observers.erase(m_Observers.begin());
    }
}

SubjectHint CSubject::Notify(SubjectHint hint)
{
    std::lock_guard<std::recursive_mutex> g(m_Lock);
    // An observer may detach itself (or another) from inside Update: walk a copy and
    // skip whoever has left meanwhile.
    std::vector<CObserver*> observers;
    observers.reserve(m_Observers.size());
    for (auto& entry : m_Observers)
        observers.push_back(entry.first);
    for (CObserver* o : observers)
        if (m_Observers.count(o) != 0)
            o->Update(this, hint);
    return hint;
}

SubjectHint CSubject::NotifyAndDetachAll(SubjectHint hint)
{
    std::lock_guard<std::recursive_mutex> g(m_Lock);
    std::vector<CObserver*> observers;
    observers.reserve(m_Observers.size());
    for (auto& entry : m_Observers)
        observers.push_back(entry.first);
    DetachAll();
    for (CObserver* o : observers)
        o->Update(this, hint);
    return hint;
}

size_t CSubject::ObserverCount()
{
    std::lock_guard<std::recursive_mutex> g(m_Lock);
    return m_Observers.size();
}

void CObserver::AddSubject(CSubject* subject)
{
    if (subject == nullptr)
        return;
    std::lock_guard<std::mutex> g(m_Lock);
    m_Subjects[subject] = true;
}

void CObserver::RemoveSubject(CSubject* subject)
{
    std::lock_guard<std::mutex> g(m_Lock);
    m_Subjects.erase(subject);
}

size_t CObserver::SubjectCount()
{
    std::lock_guard<std::mutex> g(m_Lock);
    return m_Subjects.size();
}
