#include "telemetry/TelemetryApiUrl.h"

#include <QString>

#ifndef KELVANE_TELEMETRY_API_URL
#error "KELVANE_TELEMETRY_API_URL must be defined by the build"
#endif

const QString TelemetryApiUrl = QStringLiteral(KELVANE_TELEMETRY_API_URL);
