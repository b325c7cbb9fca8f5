#include "sim/firmware/firmware.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sim::fw {

uint32_t get32(const std::vector<uint8_t>& image, uint32_t offset)
{
    if (uint64_t(offset) + 4 > image.size()) throw std::out_of_range("word beyond the image");
    return uint32_t(image[offset]) | uint32_t(image[offset + 1]) << 8 | uint32_t(image[offset + 2]) << 16 |
           uint32_t(image[offset + 3]) << 24;
}

void put32(std::vector<uint8_t>& image, uint32_t offset, uint32_t value)
{
    if (uint64_t(offset) + 4 > image.size()) throw std::out_of_range("word beyond the image");
    for (int i = 0; i < 4; ++i) image[offset + i] = uint8_t(value >> (8 * i));
}

uint16_t word_sum(const std::vector<uint8_t>& bytes)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        uint32_t lo = bytes[i];
        uint32_t hi = i + 1 < bytes.size() ? bytes[i + 1] : 0;
        sum += lo | hi << 8;
    }
    return uint16_t(sum);
}

namespace {

bool counted(uint32_t address)
{
    return address < kControlRegistersBase || address >= kControlRegistersEnd;
}

}  // namespace

uint16_t image_checksum(const ImageLayout& layout)
{
    uint32_t sum = 0;
    if (counted(layout.image_base)) sum += word_sum(layout.read_only);
    if (counted(layout.data_base)) sum += word_sum(layout.read_write);
    for (const Region& r : layout.regions)
        if (counted(r.load_address)) sum += word_sum(r.data);
    return uint16_t(sum);
}

// Appends by size and copy (vector::insert of a range draws a false array-bounds warning at -O3).
static void append(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes)
{
    const size_t at = out.size();
    out.resize(at + bytes.size());
    if (!bytes.empty()) std::memcpy(out.data() + at, bytes.data(), bytes.size());
}

std::vector<uint8_t> build_image(const ImageLayout& layout)
{
    std::vector<Region> regions = layout.regions;
    if (layout.checksum_region) {
        uint16_t c = image_checksum(layout);
        uint16_t n = uint16_t(-c);
        regions.push_back({"ck_seg_area", layout.checksum_address,
                           {uint8_t(c), uint8_t(c >> 8), uint8_t(n), uint8_t(n >> 8)}});
    }
    std::vector<uint8_t> image(kHeaderSize, 0);
    put32(image, kReadOnlySize, uint32_t(layout.read_only.size()));
    put32(image, kReadWriteSize, uint32_t(layout.read_write.size()));
    put32(image, kImageBase, layout.image_base);
    put32(image, kDataBase, layout.data_base);
    append(image, layout.read_only);
    append(image, layout.read_write);
    uint32_t link = kFirstFatOffset;  // where the next region's offset is written
    for (const Region& r : regions) {
        while (image.size() % 4) image.push_back(0);
        uint32_t at = uint32_t(image.size());
        put32(image, link, at);
        image.resize(at + kRegionHeaderSize, 0);
        put32(image, at + kLoadAddress, r.load_address);
        put32(image, at + kRegionSize, uint32_t(r.data.size()));
        size_t n = std::min<size_t>(r.name.size(), kRegionNameSize - 1);
        std::copy_n(r.name.begin(), n, image.begin() + at + kRegionName);
        image.insert(image.end(), r.data.begin(), r.data.end());
        link = at + kNextFatOffset;
    }
    return image;
}

bool check_image(const std::vector<uint8_t>& image, std::string* why)
{
    auto refuse = [&](const char* reason) {
        if (why != nullptr) *why = reason;
        return false;
    };
    const uint64_t size = image.size();
    if (size < kHeaderSize) return refuse("shorter than the 128-octet AIF header");
    const uint64_t ro = get32(image, kReadOnlySize), rw = get32(image, kReadWriteSize);
    if (ro == 0) return refuse("no read-only part: no code to load");
    if (kHeaderSize + ro + rw > size) return refuse("its read-only and read-write parts run past its end (cut short?)");
    uint64_t at = get32(image, kFirstFatOffset), last = 0;
    while (at != 0) {
        if (at <= last || at < kHeaderSize + ro + rw) return refuse("its region chain goes back on itself");
        if (at + kRegionHeaderSize > size) return refuse("a region header lies past its end (cut short?)");
        if (at + kRegionHeaderSize + get32(image, uint32_t(at) + kRegionSize) > size)
            return refuse("a region runs past its end (cut short?)");
        last = at;
        at = get32(image, uint32_t(at) + kNextFatOffset);
    }
    return true;
}

ImageLayout default_layout()
{
    ImageLayout s;
    s.read_only.resize(1000);
    for (size_t i = 0; i < s.read_only.size(); ++i) s.read_only[i] = uint8_t(i * 7 + 3);
    s.read_write.resize(300);
    for (size_t i = 0; i < s.read_write.size(); ++i) s.read_write[i] = uint8_t(0xA5 ^ i);
    Region empty{"bss_area", 0x00280000, {}};
    Region tables{"tables", 0x00290000, std::vector<uint8_t>(257)};
    for (size_t i = 0; i < tables.data.size(); ++i) tables.data[i] = uint8_t(i * 13);
    Region sum{"cksum_area", 0x002A0000, {1, 2, 3, 4}};
    s.regions = {empty, tables, sum};
    return s;
}

std::vector<uint8_t> default_image()
{
    return build_image(default_layout());
}

}  // namespace sim::fw
