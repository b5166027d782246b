// SPDX-License-Identifier: Apache-2.0
// Names for the numbers in zuno-lookup.rc, which is compiled without the Windows SDK headers.
#ifndef ZUNO_LOOKUP_RC_H
#define ZUNO_LOOKUP_RC_H

#define ZUNO_LANG_CHINESE 0x04
#define ZUNO_SUBLANG_CHINESE_SIMPLIFIED 0x02

#define ZUNO_RT_ICON 3
#define ZUNO_RT_GROUP_ICON 14

#define ZUNO_ICON_GROUP 1
#define ZUNO_ICON_48 30001

#define ZUNO_VS_VERSION_INFO 1
#define ZUNO_VS_FFI_FILEFLAGSMASK 0x3FL
#define ZUNO_VOS_NT_WINDOWS32 0x40004L
#define ZUNO_VFT_APP 0x1L

#endif
