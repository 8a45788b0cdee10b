#pragma once
// The tables operations' progress window and log window, for the window.
namespace tablesview {
// Makes them the windows every tables operation shows (once).
void InstallTablesWindows();
}  // namespace tablesview
