#pragma once
// `tavelin-pack plan`: which rules of a rules file apply to a register identity,
// and the passes an update run would make from there.
#include <QStringList>
#include <QTextStream>

// args are the words after "plan". Returns 0 on success, 1 when the rules file
// is rejected, 2 for bad arguments.
int PlanCommand(const QStringList &args, QTextStream &out, QTextStream &err);
