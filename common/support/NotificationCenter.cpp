#include "support/NotificationCenter.h"

#include <algorithm>

namespace quillet {

NotificationCenter &NotificationCenter::defaultCenter() {
    // Never destroyed: a job that a static object owns may still post while the process exits.
    static auto *center = new NotificationCenter;
    return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Observer observer) {
    std::lock_guard lock(_mutex);
    Token token = _nextToken++;
    _entries.push_back(Entry{token, std::move(name), std::make_shared<Observer>(std::move(observer))});
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(_mutex);
    std::erase_if(_entries, [token](const Entry &entry) { return entry.token == token; });
}

void NotificationCenter::post(const std::string &name, std::any object) {
    // The observers are called outside the lock, so that an observer may post or (un)register.
    std::vector<std::shared_ptr<Observer>> observers;
    {
        std::lock_guard lock(_mutex);
        for (const Entry &entry : _entries)
            if (entry.name == name)
                observers.push_back(entry.observer);
    }
    const Notification notification{name, std::move(object)};
    for (const auto &observer : observers)
        (*observer)(notification);
}

} // namespace quillet
