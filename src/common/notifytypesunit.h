#pragma once
// Events of a long operation that describes its own progress window. Each
// carries the producer and a JSON text; an empty (unassigned) event is not
// called.
#include <QString>

#include <functional>

class QObject;

// Show and hide of the window.
using TShowProgressNotify = std::function<void(QObject *Sender, const QString &AParams)>;
// One progress step.
using TProgressNotify = std::function<void(QObject *Sender, const QString &AParams)>;
