#pragma once
// The settings tables backup around a DFU update, and the restore of the
// key command, put into the main window's hooks.
class TMainForm;

void InstallTablesHooks(TMainForm &form);
