#pragma once
// Runs a console program to its end and collects what it printed.
#include <QString>
#include <QStringList>

// Starts FileName with no window, its standard output and error merged into
// Output (cleared first) in arrival order and its standard input inherited;
// the child works in the folder of FileName. Blocks until the child has ended
// and returns its exit code. A program that cannot be started raises Exception
// with the system's message and leaves Output empty.
int ExecuteAndCapture(const QString &FileName, const QStringList &Args, QString &Output);

// The same with the arguments given as one text, split as a shell would
// (quotes keep blanks inside an argument).
int ExecuteAndCapture(const QString &FileName, const QString &Params, QString &Output);
