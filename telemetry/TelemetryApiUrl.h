#pragma once

class QString;

// The telemetry API base URL, fixed at build time (CMake cache variable TELEMETRY_API_URL).
// Each executable compiles its own definition, so test binaries can aim at a local server.
extern const QString TelemetryApiUrl;
