#include "platform/ProcessTable.h"

#include "platform/System.h"

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
    : _wanted(std::move(wanted)), _fullReadEvery(fullReadEvery == 0 ? 1 : fullReadEvery) {}

std::string_view lastCreatedPid(std::string_view loadavg) {
    while (!loadavg.empty() && (loadavg.back() == '\n' || loadavg.back() == ' '))
        loadavg.remove_suffix(1);
    const size_t blank = loadavg.rfind(' ');
    std::string_view last = blank == std::string_view::npos ? loadavg : loadavg.substr(blank + 1);
    return isNumber(last) ? last : std::string_view();
}

std::vector<ProcessEntry> ProcessWatch::read() {
    std::vector<ProcessEntry> table;
    const uint64_t now = ++_reads;
    const bool full = now % _fullReadEvery == 0;
    const uid_t self = ::getuid();
    auto loadavg = readFile("/proc/loadavg", 256);
    const std::string lastPid = loadavg ? std::string(lastCreatedPid(*loadavg)) : std::string();
    if (!full && _settled && !lastPid.empty() && lastPid == _lastPid) {
        // No process was created since the last read: only those found then may still run.
        for (const ProcessEntry &found : _found) {
            auto text = readFile("/proc/" + std::to_string(found.pid) + "/status", kMaxStatusBytes);
            ProcessEntry process;
            if (!text || !parseProcessStatus(*text, process) || process.state == 'Z' || process.uid != self ||
                process.command != found.command)
                continue;
            process.pid = found.pid;
            table.push_back(std::move(process));
        }
        _found = table;
        return table;
    }
    _lastPid = lastPid;
    auto proc = openDirectory("/proc");
    if (!proc)
        return table;
    (void)forEachEntry(*proc, [&](std::string_view name, unsigned char) {
        if (!isNumber(name))
            return true;
        const std::string pidText(name);
        const pid_t pid = static_cast<pid_t>(std::strtol(pidText.c_str(), nullptr, 10));
        auto [known, added] = _known.try_emplace(pid);
        Known &entry = known->second;
        entry.seenAt = now;
        if (added || full || !entry.confirmed) {
            entry.confirmed = !added;
            entry.command.clear();
            auto folder = statAt(*proc, pidText, FollowLinks::No);
            if (folder && folder->st_uid == self) {
                if (auto comm = readFileAt(*proc, pidText + "/comm", 64)) {
                    entry.command = std::move(*comm);
                    if (!entry.command.empty() && entry.command.back() == '\n')
                        entry.command.pop_back();
                }
            }
        }
        if (entry.command.empty() || !_wanted(entry.command))
            return true;
        auto text = readFileAt(*proc, pidText + "/status", kMaxStatusBytes);
        ProcessEntry process;
        if (!text || !parseProcessStatus(*text, process) || process.state == 'Z' || process.uid != self)
            return true;
        process.pid = pid;
        table.push_back(std::move(process));
        return true;
    });
    // Processes gone since the last read; their numbers may come back for other programs.
    std::erase_if(_known, [now](const auto &item) { return item.second.seenAt != now; });
    _settled = std::all_of(_known.begin(), _known.end(), [](const auto &item) { return item.second.confirmed; });
    _found = table;
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
