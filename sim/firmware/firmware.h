// Builder of modem-processor firmware image files: ARM Image Format (AIF) with a
// 128-byte header, the read-only part, the read-write part and a chain of further
// regions, each behind a 44-byte region header. All words are 32-bit little-endian.
//
// The checksum the running firmware reports is the 16-bit sum of every 16-bit
// little-endian word the processor received in Load commands outside its control
// registers (0x01000000..0x01000FFF); a part or region of odd length is followed by a
// zero pad byte. The builder puts that sum in the first word of the "ck_seg_area"
// region and its negation in the second, so the region adds nothing to the sum.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim::fw {

constexpr uint32_t kHeaderSize = 128;
constexpr uint32_t kRegionHeaderSize = 44;
constexpr uint32_t kRegionNameSize = 32;
// Header fields (byte offsets).
constexpr uint32_t kReadOnlySize = 0x14, kReadWriteSize = 0x18, kImageBase = 0x28, kDataBase = 0x34,
                   kFirstFatOffset = 0x38;
// Region header fields.
constexpr uint32_t kNextFatOffset = 0x00, kLoadAddress = 0x04, kRegionSize = 0x08, kRegionName = 0x0C;
constexpr uint32_t kControlRegistersBase = 0x01000000, kControlRegistersEnd = 0x01001000;

struct Region {
    std::string name;
    uint32_t load_address = 0;
    std::vector<uint8_t> data;
};

struct ImageLayout {
    uint32_t image_base = 0x00010000;
    uint32_t data_base = 0x00200000;
    std::vector<uint8_t> read_only;
    std::vector<uint8_t> read_write;
    std::vector<Region> regions;        // in chain order
    bool checksum_region = true;        // append a "ck_seg_area" region carrying the checksum
    uint32_t checksum_address = 0x00300000;
};

// The 16-bit sum of the words the processor receives for these bytes (zero pad when odd).
uint16_t word_sum(const std::vector<uint8_t>& bytes);
// The checksum the running firmware reports for the image built from layout.
uint16_t image_checksum(const ImageLayout& layout);

std::vector<uint8_t> build_image(const ImageLayout& layout);

// A small image with patterned parts, two regions (one of them empty, one of odd length)
// and the checksum region: what tests and the default run load.
ImageLayout default_layout();
std::vector<uint8_t> default_image();

// Whether image is one a modem processor can load: the AIF header, a read-only part, both
// parts and every region inside the file, a region chain that ends. False with the reason.
bool check_image(const std::vector<uint8_t>& image, std::string* why);

// Little-endian word access into a built image (for tests that damage one).
uint32_t get32(const std::vector<uint8_t>& image, uint32_t offset);
void put32(std::vector<uint8_t>& image, uint32_t offset, uint32_t value);

}  // namespace sim::fw
