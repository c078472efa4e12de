#pragma once

#include "telemetry/NetworkAccessManager.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <algorithm>

// True once every request the program has posted has finished. Requests of a destroyed window
// still go out, so tests wait for this before concluding anything from what the server got.
inline bool AllRequestsFinished()
{
    const auto replies = NetworkAccessManager::SharedInstance()->findChildren<QNetworkReply *>();
    return std::all_of(replies.begin(), replies.end(),
                       [](QNetworkReply *reply) { return reply->isFinished(); });
}

// Ends every request still in flight, as the program's own bounded waits do when a server
// stays silent.
inline void AbortRequestsInFlight()
{
    const auto replies = NetworkAccessManager::SharedInstance()->findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : replies) {
        if (!reply->isFinished())
            reply->abort();
    }
}
