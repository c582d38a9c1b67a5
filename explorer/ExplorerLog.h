#pragma once
// The process explorer's logging category, "kestd.process-explorer".

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcProcessExplorer)
