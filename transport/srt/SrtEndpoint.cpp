#include "transport/srt/SrtEndpoint.h"

QString SrtEndpoint::serverText() const
{
    return host + QLatin1Char(':') + QString::number(port);
}

SrtEndpoint SrtEndpoint::atAddress(const QString &address) const
{
    SrtEndpoint endpoint = *this;
    endpoint.host = address;
    return endpoint;
}

SrtEndpoint SrtEndpoint::withSuffix(const QString &suffix) const
{
    SrtEndpoint endpoint = *this;
    endpoint.streamId += suffix;
    return endpoint;
}

SrtEndpoint SrtEndpoint::withLatency(int latency) const
{
    SrtEndpoint endpoint = *this;
    endpoint.latencyMs = latency;
    return endpoint;
}
