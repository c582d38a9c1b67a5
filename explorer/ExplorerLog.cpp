#include "explorer/ExplorerLog.h"

Q_LOGGING_CATEGORY(lcProcessExplorer, "kestd.process-explorer")
