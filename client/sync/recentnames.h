// How many recent names the client keeps: the tray's "文件更新" submenu shows every one of them.
// The worker drops older names past it, and the menu has one command id per place, so both read
// this one number. Constants only; no thread rule.
#pragma once

namespace recent {

constexpr int kKept = 10;

}  // namespace recent
