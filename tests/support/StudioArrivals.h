#pragma once
#include "ByteArrivals.h"
#include "StudioProcess.h"

#include <QJsonDocument>
#include <atomic>
#include <thread>

// The studio's view of a transfer: the bytes of one "speedtest" stream in
// /status, asked for as often as the server answers, from a thread of its own.
class StudioArrivals
{
public:
    StudioArrivals(const StudioProcess &studio, const QString &id)
        : m_thread([this, &studio, id] {
              while (!m_stop) {
                  const QByteArray reply = studio.httpGet(QStringLiteral("/status"), nullptr, 1000);
                  m_arrivals.note(StudioProcess::count(
                      StudioProcess::findStream(QJsonDocument::fromJson(reply).object(), id, "speedtest"), "bytes"));
              }
          })
    {
    }
    ~StudioArrivals()
    {
        m_stop = true;
        m_thread.join();
    }

    const ByteArrivals &arrivals() const { return m_arrivals; }

private:
    ByteArrivals m_arrivals;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;  // last: starts once the members above exist
};
