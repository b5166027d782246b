// SPDX-License-Identifier: Apache-2.0
#include "bytes_to_bstr.h"
#include "get_body.h"

#include "canned_reply_server.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStringDecoder>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

const QByteArray
    kReply("\xba\xc5\xc2\xeb\xa3\xba\x31\x33\x38\x20\x30\x30\x31\x33\x20\x38\x30\x30\x30"
           "\r\n\xb9\xe9\xca\xf4\xb5\xd8\xa3\xba\xb1\xb1\xbe\xa9\xca\xd0\r\n");

zuno::bench::CannedReplyServer &server()
{
    static zuno::bench::CannedReplyServer instance(kReply);
    return instance;
}

QString lookupUrl() { return server().url(QStringLiteral("/iii.asp?title=13800138000")); }

void getBody(benchmark::State &state)
{
    const QString url = lookupUrl();
    for (auto _ : state) {
        const zuno::FetchedValue value = zuno::GetBody(url);
        if (value.length() == 0)
            state.SkipWithError("no reply");
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(getBody)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

QByteArray plainGet(QNetworkAccessManager &manager, const QUrl &url)
{
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(url)));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    return reply->readAll();
}

// The baseline: a new manager and a GET, nothing else around it.
void plainGetNewManager(benchmark::State &state)
{
    const QUrl url(lookupUrl());
    for (auto _ : state) {
        QNetworkAccessManager manager;
        const QByteArray body = plainGet(manager, url);
        if (body.isEmpty())
            state.SkipWithError("no reply");
        benchmark::DoNotOptimize(body);
    }
}
BENCHMARK(plainGetNewManager)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// One manager for every request, as a long-lived client would keep it.
void plainGetSharedManager(benchmark::State &state)
{
    const QUrl url(lookupUrl());
    QNetworkAccessManager manager;
    for (auto _ : state) {
        const QByteArray body = plainGet(manager, url);
        if (body.isEmpty())
            state.SkipWithError("no reply");
        benchmark::DoNotOptimize(body);
    }
}
BENCHMARK(plainGetSharedManager)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

QByteArray gbkText(qsizetype size) { return kReply.repeated(size / kReply.size() + 1).left(size); }

void bytesToBstr(benchmark::State &state)
{
    const zuno::FetchedValue bytes = zuno::FetchedValue::fromBytes(gbkText(state.range(0)).toStdString());
    const QString charset = QStringLiteral("GB2312");
    for (auto _ : state)
        benchmark::DoNotOptimize(zuno::BytesToBstr(bytes, charset));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(bytesToBstr)->Arg(64)->Arg(64 * 1024);

// Qt's own decoder for the same bytes, as a baseline for the decoding.
void qtStringDecoder(benchmark::State &state)
{
    const QByteArray bytes = gbkText(state.range(0));
    for (auto _ : state) {
        QStringDecoder decoder("GB18030");
        benchmark::DoNotOptimize(QString(decoder(bytes)));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(qtStringDecoder)->Arg(64)->Arg(64 * 1024);

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
