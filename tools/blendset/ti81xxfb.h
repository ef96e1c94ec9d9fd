// Region-parameter record and requests of the TI81xx framebuffer driver.
// Kept apart so that the board's own driver header can take its place.
#pragma once

#include <linux/ioctl.h>
#include <linux/types.h>

// Blend types of a region.
#define TI81XXFB_BLENDING_NO 0
#define TI81XXFB_BLENDING_GLOBAL 1
#define TI81XXFB_BLENDING_PALETTE 2
#define TI81XXFB_BLENDING_PIXEL 3

struct ti81xxfb_region_params {
    __u16 ridx;
    __u16 pos_x;
    __u16 pos_y;
    __u16 priority;
    __u32 transen;
    __u32 blendtype;
    __u32 transtype;
    __u32 transcolor;
    __u8 bbalpha;
    __u8 blendalpha;
    __u8 reserved0[2];
    __u32 reserved[5];
};

#define TIFB_IOW(num, dtype) _IOW('N', num, dtype)
#define TIFB_IOR(num, dtype) _IOR('N', num, dtype)

#define TIFB_SET_PARAMS TIFB_IOW(2, struct ti81xxfb_region_params)
#define TIFB_GET_PARAMS TIFB_IOR(3, struct ti81xxfb_region_params)

#ifdef __cplusplus
static_assert(sizeof(struct ti81xxfb_region_params) == 48, "the driver exchanges 48 bytes");
static_assert(TIFB_GET_PARAMS == 0x80304E03u && TIFB_SET_PARAMS == 0x40304E02u, "driver request numbers");
#endif
