#include "property/kttrace.h"

Q_LOGGING_CATEGORY(ktLink, "kt.device.link")
Q_LOGGING_CATEGORY(ktDispatch, "kt.device.dispatch")
Q_LOGGING_CATEGORY(ktTask, "kt.device.task")
Q_LOGGING_CATEGORY(ktCloud, "kt.cloud")
