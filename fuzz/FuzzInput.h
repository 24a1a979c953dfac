#pragma once
// Helpers the fuzz targets share to shape their input.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace quillet::fuzz {

/// A binary plist made of the objects the input lists (each a length byte and the object's
/// bytes), object 0 at the top, with 1-byte references and 2-byte offsets: mutations then explore
/// object graphs (references, cycles, sharing, types, lengths) rather than mostly breaking the
/// offset table. Empty when the input lists no object.
inline std::string assembleObjects(std::string_view input) {
    std::string plist = "bplist00";
    std::string table;
    size_t count = 0;
    size_t at = 0;
    while (at < input.size() && count < 255) {
        size_t length = static_cast<unsigned char>(input[at++]);
        length = std::min(length, input.size() - at);
        const size_t offset = plist.size();
        table += static_cast<char>(offset >> 8);
        table += static_cast<char>(offset & 0xFF);
        plist.append(input.substr(at, length));
        at += length;
        ++count;
    }
    if (count == 0)
        return {};
    const size_t tableStart = plist.size();
    plist += table;
    plist.append(6, '\0');
    plist += '\x02'; // offset size
    plist += '\x01'; // reference size
    auto putBigEndian = [&](uint64_t value) {
        for (int i = 7; i >= 0; --i)
            plist += static_cast<char>(value >> (8 * i));
    };
    putBigEndian(count);
    putBigEndian(0);
    putBigEndian(tableStart);
    return plist;
}

/// A copy of the input that ends where an inaccessible page begins. libplist is not built with
/// the sanitizers, so a read past the end of its input would otherwise go unseen.
class GuardedCopy {
public:
    explicit GuardedCopy(std::string_view bytes) {
        const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        _length = (bytes.size() + page - 1) / page * page + page;
        void *area = ::mmap(nullptr, _length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (area == MAP_FAILED)
            std::abort();
        _area = static_cast<char *>(area);
        char *guard = _area + _length - page;
        if (::mprotect(guard, page, PROT_NONE) != 0)
            std::abort();
        char *start = guard - bytes.size();
        if (!bytes.empty())
            std::memcpy(start, bytes.data(), bytes.size());
        _bytes = std::string_view(start, bytes.size());
    }
    ~GuardedCopy() { ::munmap(_area, _length); }
    GuardedCopy(const GuardedCopy &) = delete;
    GuardedCopy &operator=(const GuardedCopy &) = delete;

    std::string_view bytes() const { return _bytes; }

private:
    char *_area = nullptr;
    size_t _length = 0;
    std::string_view _bytes;
};

} // namespace quillet::fuzz
