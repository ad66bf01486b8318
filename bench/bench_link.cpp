// Cost of the link layer per exchange: CRC, reply acceptance, and one whole poll
// exchange through the engine with an in-memory line.

#include "link/exchangeengine.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>

using namespace zk;

namespace {

class MemoryLine : public MeterChannel
{
public:
    Parity par = Parity::Mark;
    QByteArray incoming;
    QByteArray lastWrite;
    bool isOpen() const override { return true; }
    Parity parity() const override { return par; }
    void setParity(Parity p) override { par = p; }
    void setRts(bool) override {}
    bool writeBytes(const QByteArray &b) override
    {
        lastWrite = b;
        return true;
    }
    QByteArray readAvailable() override
    {
        QByteArray out;
        out.swap(incoming);
        return out;
    }
};

class QuietHost : public EngineHost
{
public:
    int address() const override { return 1; }
    void setAddress(int) override {}
    int newAddress() const override { return 1; }
    bool terminalOn() const override { return false; }
    void addLogLine(const QString &) override {}
    void clearLog() override {}
    void beep() override {}
    void setStatusText(int, const QString &) override {}
    void showVerdict(WriteVerdict) override {}
    void hideIndicator() override {}
    void setWriteEnabled(bool) override {}
    void setFindAddressEnabled(bool) override {}
    void setGauges(bool, bool) override {}
    void firmwareChanged(const FirmwareVersion &) override {}
    void resetAction() override {}
    void displayReset() override {}
    void recordWrite() override {}
    void reportWriteFailure(const QString &) override {}
};

void BM_Crc16(benchmark::State &state)
{
    const QByteArray data(int(state.range(0)), '\x5A');
    for (auto _ : state)
        benchmark::DoNotOptimize(crc16(data));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16)->Arg(4)->Arg(34)->Arg(256);

void BM_CheckReadingsReply(benchmark::State &state)
{
    QByteArray frame(1, char(0x0F));
    frame.append(char(32));
    frame.append(QByteArray(30, '\x11'));
    frame = withCrc(frame);
    for (auto _ : state)
        benchmark::DoNotOptimize(checkReply(frame, 0x0F, true));
}
BENCHMARK(BM_CheckReadingsReply);

void BM_PollExchange(benchmark::State &state)
{
    MemoryLine line;
    QuietHost host;
    ExchangeEngine engine(&line, &host);
    engine.setConnected(true);
    engine.firstRequest();
    for (auto _ : state) {
        engine.sendTick();
        line.incoming = QByteArray(1, char(1));
        engine.onRxChar();
        const quint8 f = quint8(engine.currentRequest().at(0));
        line.incoming = f == 0 ? withCrc(QByteArray("\x00\x04\x12\x01", 4))
                               : withCrc(QByteArray(1, char(f)) + char(2));
        engine.onRxChar();
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_PollExchange);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
