#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// One HTTP request as the server library handed it over, and the answer to it. The library
// parses the wire; handlers only map a request to a response.
struct HttpRequest
{
    QByteArray method;    // "GET", "POST", ...
    QByteArray path;      // without the query
    QByteArray query;     // after "?", undecoded
    QList<QPair<QByteArray, QByteArray>> headers;   // names in lower case
    QByteArray body;

    QByteArray header(const QByteArray &lowerCaseName) const
    {
        for (const auto &header : headers) {
            if (header.first == lowerCaseName)
                return header.second;
        }
        return QByteArray();
    }
};

struct HttpResponse
{
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
};
