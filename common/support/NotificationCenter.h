#pragma once
// The process's local notification centre: observers register for a name and are called, on
// the thread that posts, with every notification of that name. The Qt programs hand work that
// touches the user interface over to their main thread from inside their observers.

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace quillet {

/// What is posted: a name and an object (a job id, a number), never anything else.
struct Notification {
    std::string name;
    std::any object;

    /// The object as a T, or nullptr when it holds something else.
    template <typename T>
    const T *objectAs() const {
        return std::any_cast<T>(&object);
    }
};

class NotificationCenter {
public:
    using Observer = std::function<void(const Notification &)>;
    using Token = uint64_t;

    /// The centre every part of the process posts to unless told otherwise.
    static NotificationCenter &defaultCenter();

    /// Calls observer for each notification named name posted from now on, on the posting
    /// thread. The token removes it again.
    Token addObserver(std::string name, Observer observer);
    /// After this returns the observer is not called again, except by a post already under way
    /// on another thread.
    void removeObserver(Token token);
    /// Calls the observers of name, in the order they were added. Observers may add or remove
    /// observers and post themselves: none is called with the centre's lock held.
    void post(const std::string &name, std::any object = {});

private:
    struct Entry {
        Token token;
        std::string name;
        std::shared_ptr<Observer> observer;
    };
    std::mutex _mutex;
    std::vector<Entry> _entries;
    Token _nextToken = 1;
};

/// Removes its observer when it goes: keeps a test's or a window's observers from outliving it.
class ScopedObserver {
public:
    ScopedObserver(NotificationCenter &center, std::string name, NotificationCenter::Observer observer)
        : _center(center), _token(center.addObserver(std::move(name), std::move(observer))) {}
    ~ScopedObserver() { _center.removeObserver(_token); }
    ScopedObserver(const ScopedObserver &) = delete;
    ScopedObserver &operator=(const ScopedObserver &) = delete;

private:
    NotificationCenter &_center;
    NotificationCenter::Token _token;
};

} // namespace quillet
