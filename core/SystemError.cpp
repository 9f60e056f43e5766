// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/SystemError.h"

#include <cerrno>
#include <cstring>

namespace tavrino {

std::string SystemErrorText(int errnum) {
    switch (errnum) {
        case EACCES: return "权限不够";
        case EPERM: return "不允许的操作";
        case EISDIR: return "是一个目录";
        case ENOENT: return "没有那个文件或目录";
        case ENOTDIR: return "不是目录";
        case ENOSPC: return "设备上没有空间";
        case EROFS: return "只读文件系统";
        case EDQUOT: return "超出磁盘限额";
        case ENAMETOOLONG: return "文件名过长";
        case EFBIG: return "文件过大";
        case EBUSY: return "设备或资源忙";
        default: return std::strerror(errnum);
    }
}

}  // namespace tavrino
