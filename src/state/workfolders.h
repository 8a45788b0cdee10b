#pragma once
// The working folder of a program killed outright (SIGKILL, a crash, a power
// cut) is never removed by that program: the unpacked package and the images
// stay in the temporary folder. Each program marks its folder as in use with
// a lock it holds while it runs, in the state folder's "work/"; the next
// program to start removes the folders whose lock nobody holds any more.
#include <QString>

namespace workfolders {

// Marks folder (made by this process, with or without a trailing separator)
// as in use for as long as this process runs or until Release. Does nothing
// when the state folder cannot be written: the folder is then only removed
// by its own program.
void Claim(const QString &folder);
// The folder is gone (or going): its mark goes too.
void Release(const QString &folder);
// Removes the working folders of programs that ended without removing them;
// returns how many. A mark that names anything but a folder of this user's
// with the mark's own name only loses the mark.
int RemoveAbandoned();

}  // namespace workfolders
