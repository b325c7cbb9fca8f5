// The version resource of one of our binaries, built into it in a way of our own: the
// key "VS_VERSION_INFO" (16 bytes with its terminator) followed by the fixed file
// information, as one record in the binary's read-only data. GetFileVersionInfoA finds
// the key followed by the fixed information's signature in the file; VerQueryValueA
// answers the root block ("\") with the fixed information.
#pragma once

#include <cstdint>

typedef struct tagVS_FIXEDFILEINFO {
    uint32_t dwSignature;  // 0xFEEF04BD
    uint32_t dwStrucVersion;
    uint32_t dwFileVersionMS, dwFileVersionLS;
    uint32_t dwProductVersionMS, dwProductVersionLS;
    uint32_t dwFileFlagsMask, dwFileFlags;
    uint32_t dwFileOS;
    uint32_t dwFileType, dwFileSubtype;
    uint32_t dwFileDateMS, dwFileDateLS;
} VS_FIXEDFILEINFO;
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

struct VersionResource {
    char key[16];
    VS_FIXEDFILEINFO fixed;
};
static_assert(sizeof(VersionResource) == 68);

#define VS_FFI_SIGNATURE 0xFEEF04BDu
#define VS_FFI_STRUCVERSION 0x00010000u
#define VOS_NT_WINDOWS32 0x00040004u
#define VFT_APP 0x00000001u
#define VFT_DLL 0x00000002u
#define VFT_DRV 0x00000003u
#define VFT2_DRV_SYSTEM 0x00000007u

// The product's version, for every binary that carries one.
#define VORNET_VERSION_MAJOR 1
#define VORNET_VERSION_MINOR 0
#define VORNET_VERSION_BUILD 0
#define VORNET_VERSION_REVISION 1

// Defines the record `name` for a binary of the given type and subtype.
#define VORNET_VERSION_RESOURCE(name, type, subtype)                                                          \
    extern const VersionResource name;                                                                      \
    [[gnu::used]] const VersionResource name = {                                                            \
        {'V', 'S', '_', 'V', 'E', 'R', 'S', 'I', 'O', 'N', '_', 'I', 'N', 'F', 'O', '\0'},                  \
        {VS_FFI_SIGNATURE, VS_FFI_STRUCVERSION, (VORNET_VERSION_MAJOR << 16) | VORNET_VERSION_MINOR,        \
         (VORNET_VERSION_BUILD << 16) | VORNET_VERSION_REVISION, (VORNET_VERSION_MAJOR << 16) | VORNET_VERSION_MINOR, \
         (VORNET_VERSION_BUILD << 16) | VORNET_VERSION_REVISION, 0x3F, 0, VOS_NT_WINDOWS32, (type), (subtype), 0, 0}}
