#include "platform/ProcessTable.h"

#include "platform/Process.h"
#include "platform/System.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <optional>

namespace quillet::sys {
namespace {

constexpr size_t kCommandLength = 15; // TASK_COMM_LEN less the terminating zero
// /proc/<pid>/status is about 1.5 KB; the lines read come first.
constexpr size_t kMaxStatusBytes = 16384;
// Beyond this many new process numbers since the last read, listing /proc costs less than
// looking at each number.
constexpr long kMaxProbedProcesses = 64;
// Name files kept open, at most: one descriptor each, well below the usual limit of 1024.
constexpr size_t kMaxKeptNames = 256;

bool isNumber(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

/// The value of the line "key:\tvalue" of a status text, without its end of line.
std::optional<std::string_view> statusField(std::string_view text, std::string_view key) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(at, end - at);
        if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == ':') {
            line.remove_prefix(key.size() + 1);
            while (!line.empty() && (line.front() == '\t' || line.front() == ' '))
                line.remove_prefix(1);
            return line;
        }
        at = end + 1;
    }
    return std::nullopt;
}

} // namespace

bool parseProcessStatus(std::string_view text, ProcessEntry &entry) {
    auto name = statusField(text, "Name");
    auto state = statusField(text, "State");
    auto uids = statusField(text, "Uid");
    if (!name || !state || state->empty() || !uids)
        return false;
    // "Uid:\treal\teffective\tsaved\tfilesystem": the real one says whose process it is.
    unsigned long uid = 0;
    auto [end, error] = std::from_chars(uids->data(), uids->data() + uids->size(), uid);
    if (error != std::errc() || end == uids->data())
        return false;
    std::string command;
    for (size_t i = 0; i < name->size(); ++i) {
        char c = (*name)[i];
        if (c == '\\' && i + 1 < name->size()) {
            char next = (*name)[++i];
            command += next == 'n' ? '\n' : next;
        } else {
            command += c;
        }
    }
    entry.command = std::move(command);
    entry.state = state->front();
    entry.uid = static_cast<uid_t>(uid);
    return true;
}

bool parseProcessStat(std::string_view text, ProcessEntry &entry) {
    // The name may itself hold spaces and parentheses: it runs from the first "(" to the last ")".
    size_t open = text.find('(');
    size_t close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open || close + 2 >= text.size())
        return false;
    std::string_view pid = text.substr(0, open);
    while (!pid.empty() && pid.back() == ' ')
        pid.remove_suffix(1);
    if (!isNumber(pid))
        return false;
    entry.pid = static_cast<pid_t>(std::strtol(std::string(pid).c_str(), nullptr, 10));
    entry.command = std::string(text.substr(open + 1, close - open - 1));
    entry.state = text[close + 2];
    return true;
}

std::vector<ProcessEntry> readProcessTable() {
    std::vector<ProcessEntry> table;
    auto entries = listDirectory("/proc");
    if (!entries)
        return table;
    const uid_t self = ::getuid();
    for (const DirEntry &entry : *entries) {
        if (!isNumber(entry.name))
            continue;
        // One read per process: the status file holds the name, the state and the owner.
        auto text = readFile("/proc/" + entry.name + "/status", kMaxStatusBytes);
        ProcessEntry process;
        if (!text || !parseProcessStatus(*text, process) || process.state == 'Z' || process.uid != self)
            continue;
        process.pid = static_cast<pid_t>(std::strtol(entry.name.c_str(), nullptr, 10));
        table.push_back(std::move(process));
    }
    return table;
}

std::optional<uint64_t> parseStartTicks(std::string_view text) {
    // Fields are counted after the name, which may hold blanks: the state is field 3.
    size_t close = text.rfind(')');
    if (close == std::string_view::npos)
        return std::nullopt;
    std::string_view rest = text.substr(close + 1);
    int field = 2;
    size_t at = 0;
    while (at < rest.size()) {
        while (at < rest.size() && rest[at] == ' ')
            ++at;
        size_t end = rest.find(' ', at);
        if (end == std::string_view::npos)
            end = rest.size();
        if (at == end)
            break;
        if (++field == 22) {
            std::string_view digits = rest.substr(at, end - at);
            if (digits.size() > 19)
                return std::nullopt;
            uint64_t value = 0;
            for (char c : digits) {
                if (c < '0' || c > '9')
                    return std::nullopt;
                value = value * 10 + static_cast<uint64_t>(c - '0');
            }
            return value;
        }
        at = end;
    }
    return std::nullopt;
}

Result<uint64_t> processStartTicks(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    auto text = readFile(path, kMaxStatusBytes);
    if (!text)
        return text.status();
    if (auto ticks = parseStartTicks(*text))
        return *ticks;
    return Status::refusal(EBADMSG, path, "no start time");
}

std::vector<ProcessEntry> readProcessTable(const std::function<bool(std::string_view command)> &wanted) {
    std::vector<ProcessEntry> table;
    auto proc = openDirectory("/proc");
    if (!proc)
        return table;
    const uid_t self = ::getuid();
    (void)forEachEntry(*proc, [&](std::string_view name, unsigned char) {
        if (!isNumber(name))
            return true;
        const std::string pid(name);
        // The folder's owner is the process's effective user: a cheap first sieve, the status
        // file below decides on the real user.
        auto folder = statAt(*proc, pid, FollowLinks::No);
        if (!folder || folder->st_uid != self)
            return true;
        auto comm = readFileAt(*proc, pid + "/comm", 64);
        if (!comm)
            return true;
        std::string_view command = *comm;
        if (!command.empty() && command.back() == '\n')
            command.remove_suffix(1);
        if (!wanted(command))
            return true;
        auto text = readFileAt(*proc, pid + "/status", kMaxStatusBytes);
        ProcessEntry process;
        if (!text || !parseProcessStatus(*text, process) || process.state == 'Z' || process.uid != self)
            return true;
        process.pid = static_cast<pid_t>(std::strtol(pid.c_str(), nullptr, 10));
        table.push_back(std::move(process));
        return true;
    });
    return table;
}

ProcessWatch::ProcessWatch(std::function<bool(std::string_view command)> wanted, unsigned fullReadEvery)
    : _wanted(std::move(wanted)), _fullReadEvery(fullReadEvery == 0 ? 1 : fullReadEvery) {
    if (auto proc = openDirectory("/proc"))
        _proc = std::move(*proc);
    if (auto loadavg = open("/proc/loadavg", O_RDONLY | O_NOCTTY))
        _loadavg = std::move(*loadavg);
    // /proc/loadavg counts in this process's pid namespace; a /proc mounted for another one
    // (a container's, the host's) names processes by other numbers.
    if (_proc) {
        auto self = readlinkAt(*_proc, "self");
        _ownNamespace = self && *self == std::to_string(::getpid());
    }
}

std::string_view lastCreatedPid(std::string_view loadavg) {
    while (!loadavg.empty() && (loadavg.back() == '\n' || loadavg.back() == ' '))
        loadavg.remove_suffix(1);
    const size_t blank = loadavg.rfind(' ');
    std::string_view last = blank == std::string_view::npos ? loadavg : loadavg.substr(blank + 1);
    return isNumber(last) ? last : std::string_view();
}

bool ProcessWatch::readName(pid_t pid, Known &entry, Sieve sieve) {
    entry.command.clear();
    if (entry.name.valid()) {
        // The name file kept open since the process was first seen: one call, no path walk.
        if (auto text = readFromStart(entry.name, 64)) {
            entry.command = std::move(*text);
            if (!entry.command.empty() && entry.command.back() == '\n')
                entry.command.pop_back();
            return true;
        }
        // That process has ended; the number may be another's by now.
        entry.name.reset();
        --_keptNames;
    }
    const std::string pidText = std::to_string(pid);
    if (sieve == Sieve::Owner) {
        // The folder's owner is the process's effective user: a cheap first sieve, the status
        // file decides on the real user of the few whose name passes.
        auto folder = statAt(*_proc, pidText, FollowLinks::No);
        if (!folder)
            return false;
        if (folder->st_uid != ::getuid())
            return true;
    }
    auto comm = openAt(*_proc, pidText + "/comm", O_RDONLY | O_NOCTTY | O_NOFOLLOW);
    if (!comm)
        return comm.code() != ENOENT && comm.code() != ESRCH;
    if (auto text = readFromStart(*comm, 64)) {
        entry.command = std::move(*text);
        if (!entry.command.empty() && entry.command.back() == '\n')
            entry.command.pop_back();
        if (_keptNames < kMaxKeptNames) {
            entry.name = std::move(*comm);
            ++_keptNames;
        }
    }
    return true;
}

void ProcessWatch::forget(Known &entry) {
    if (entry.name.valid()) {
        entry.name.reset();
        --_keptNames;
    }
}

std::optional<ProcessWatch::Found> ProcessWatch::confirm(pid_t pid, std::vector<Found> &previous, bool fromListing) {
    Found found;
    std::optional<std::string> text;
    // The status file of a process found before is still open: reading it again costs one call,
    // and fails once that process has ended, even when its number has been given to another.
    auto kept = std::find_if(previous.begin(), previous.end(), [pid](const Found &f) { return f.entry.pid == pid; });
    if (kept != previous.end()) {
        if (auto again = readFromStart(kept->status, kMaxStatusBytes)) {
            text = std::move(*again);
            found.status = std::move(kept->status);
            found.process = std::move(kept->process);
        }
    }
    if (!text) {
        // The descriptor of the process is taken before its status is read: should the process
        // end and its number go to another in between, the descriptor says so at the next read,
        // and the number is a new one then.
        if (auto process = openProcess(pid))
            found.process = std::move(*process);
        auto status = openAt(*_proc, std::to_string(pid) + "/status", O_RDONLY | O_NOCTTY | O_NOFOLLOW);
        if (!status)
            return std::nullopt;
        auto fresh = readFromStart(*status, kMaxStatusBytes);
        if (!fresh)
            return std::nullopt;
        text = std::move(*fresh);
        found.status = std::move(*status);
    }
    if (!parseProcessStatus(*text, found.entry) || found.entry.state == 'Z' || found.entry.uid != ::getuid() ||
        !_wanted(found.entry.command))
        return std::nullopt;
    if (!fromListing) {
        // A number taken from the span of new ones may be a thread's: /proc answers for threads
        // too, though it lists only processes.
        auto group = statusField(*text, "Tgid");
        if (!group || *group != std::to_string(pid))
            return std::nullopt;
    }
    found.entry.pid = pid;
    return found;
}

std::optional<std::vector<int>> ProcessWatch::endDescriptors() const {
    std::vector<int> descriptors;
    descriptors.reserve(_found.size());
    for (const Found &found : _found) {
        if (!found.process.valid())
            return std::nullopt;
        descriptors.push_back(found.process.get());
    }
    return descriptors;
}

std::vector<ProcessEntry> ProcessWatch::read() {
    std::vector<ProcessEntry> table;
    if (!_proc)
        return table;
    const uint64_t now = ++_reads;
    const bool full = now % _fullReadEvery == 0;
    std::optional<long> lastPid;
    if (_loadavg) {
        if (auto text = readFromStart(*_loadavg, 256)) {
            const std::string_view last = lastCreatedPid(*text);
            if (!last.empty() && last.size() < 10)
                lastPid = std::strtol(std::string(last).c_str(), nullptr, 10);
        }
    }
    // The numbers whose names pass now and whose status is to be read.
    std::vector<pid_t> candidates;
    const bool probe = !full && _listedOnce && _ownNamespace && lastPid && _lastPid && *lastPid >= *_lastPid &&
                       *lastPid - *_lastPid <= kMaxProbedProcesses;
    _listedLastTime = !probe;
    std::vector<Found> previous = std::move(_found);
    _found.clear();
    std::vector<pid_t> unconfirmed = std::move(_unconfirmed);
    _unconfirmed.clear();
    if (probe) {
        // Every process created since the last read has a number in this span: the kernel hands
        // them out upwards and the span did not wrap. A number seen before is a new process now.
        // Only the name is read: most new processes are this user's, and the status of those
        // whose name passes tells the owner.
        for (long number = *_lastPid + 1; number <= *lastPid; ++number) {
            const pid_t pid = static_cast<pid_t>(number);
            Known &entry = _known[pid];
            forget(entry);
            entry = Known{};
            entry.seenAt = now;
            if (!readName(pid, entry, Sieve::None)) {
                _known.erase(pid); // ended already, or a thread that did
                continue;
            }
            _unconfirmed.push_back(pid);
            if (!entry.command.empty() && _wanted(entry.command))
                candidates.push_back(pid);
        }
        // Those first seen at the last read have their name read once more: one seen between its
        // fork and its exec had its parent's name then. Only they are looked at, not every
        // process known.
        for (pid_t pid : unconfirmed) {
            auto known = _known.find(pid);
            if (known == _known.end() || known->second.confirmed || known->second.seenAt == now)
                continue;
            Known &entry = known->second;
            entry.confirmed = true;
            (void)readName(pid, entry, Sieve::None);
            if (!entry.command.empty() && _wanted(entry.command))
                candidates.push_back(pid);
        }
        // The processes found last time: one poll of their descriptors tells which still run.
        // One that runs keeps its number, so it is the same process, with the same name and owner
        // until the next full read looks again.
        std::vector<int> descriptors;
        for (const Found &found : previous)
            if (found.process.valid())
                descriptors.push_back(found.process.get());
        auto ended = processesEnded(descriptors);
        size_t polled = 0;
        for (Found &found : previous) {
            if (!found.process.valid() || !ended) {
                // No descriptor, or the poll failed: its status tells.
                candidates.push_back(found.entry.pid);
                continue;
            }
            const bool gone = (*ended)[polled];
            ++polled;
            if (gone || std::find(candidates.begin(), candidates.end(), found.entry.pid) != candidates.end())
                continue;
            table.push_back(found.entry);
            _found.push_back(std::move(found));
        }
        std::sort(candidates.begin(), candidates.end());
        candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    } else {
        _listedOnce = true;
        (void)forEachEntry(*_proc, [&](std::string_view name, unsigned char) {
            if (!isNumber(name) || name.size() >= 10)
                return true;
            const pid_t pid = static_cast<pid_t>(std::strtol(std::string(name).c_str(), nullptr, 10));
            auto [known, added] = _known.try_emplace(pid);
            Known &entry = known->second;
            entry.seenAt = now;
            if (added || full || !entry.confirmed) {
                entry.confirmed = !added;
                (void)readName(pid, entry, Sieve::Owner);
                if (added)
                    _unconfirmed.push_back(pid);
            }
            if (!entry.command.empty() && _wanted(entry.command))
                candidates.push_back(pid);
            return true;
        });
        // Processes gone since the last listing; their numbers may come back for other programs.
        for (auto known = _known.begin(); known != _known.end();) {
            if (known->second.seenAt == now) {
                ++known;
                continue;
            }
            forget(known->second);
            known = _known.erase(known);
        }
    }
    _lastPid = lastPid;

    for (pid_t pid : candidates)
        if (auto found = confirm(pid, previous, !probe)) {
            table.push_back(found->entry);
            _found.push_back(std::move(*found));
        }
    return table;
}

bool isRunning(pid_t pid, std::string_view program) {
    auto text = readFile("/proc/" + std::to_string(pid) + "/status", kMaxStatusBytes);
    ProcessEntry process;
    return text && parseProcessStatus(*text, process) && process.state != 'Z' && process.uid == ::getuid() &&
           matchesProgram(process.command, program);
}

bool matchesProgram(std::string_view command, std::string_view program) {
    return !command.empty() && command == program.substr(0, kCommandLength);
}

} // namespace quillet::sys
