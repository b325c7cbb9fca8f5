// The firmware image file: the driver's image check must stay inside any file it is given.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "driver/Common/MDM_CSM.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > CSM_IMAGE_AREA_SIZE) return 0;
    std::vector<UCHAR> image(data, data + size);  // exactly the file: any overrun is caught
    CSM_IMAGE_INFO info;
    CsmCheckImage(image.data(), ULONG(image.size()), &info);
    return 0;
}
