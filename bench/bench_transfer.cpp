// Speed of one whole transfer in the utility itself: UploadFirmware, with the
// real gauge and event processing, against a simulated product that answers at
// once. Reports reports per second and the utility's own time per report.
//
//   build/release/bench/bench_transfer   (runs offscreen when there is no display)

#include "app/qt/quorvella_upgrade_utility.h"
#include "app/qt/tcgauge.h"
#include "app/upload_firmware.h"
#include "package/package_writer.h"
#include "device/message_display.h"
#include "app/open_dialog.h"
#include "simulated/simulated_hid.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <fstream>

namespace {

class CountingMessages final : public MessageDisplay {
public:
    int shown = 0;
    std::string last;
    void Show(const std::string& text, const std::string&, MessageStyle) override {
        ++shown;
        last = text;
    }
};

class FixedDialog final : public OpenDialog {
public:
    bool Execute() override { return true; }
};

constexpr std::size_t kLout = 65;
constexpr std::uint32_t kBlockLength = 4096;
constexpr std::size_t kPayload = 1u << 20;

void UploadOneMebibyte(benchmark::State& state) {
    QTemporaryDir folder;
    PackageContents contents;
    contents.vendorId = 0x1D50;
    contents.productId = 0x6018;
    contents.blockLength = kBlockLength;
    contents.firmware.resize(kPayload);
    for (std::size_t i = 0; i < kPayload; ++i)
        contents.firmware[i] = static_cast<std::uint8_t>(i * 31 + 7);
    const auto bytes = BuildPackage(contents);
    const QString path = folder.filePath(QStringLiteral("bench.qeff"));
    std::ofstream(path.toStdString(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));

    CountingMessages messages;
    FixedDialog dialog;
    dialog.FileName = path.toStdString();
    SimulatedHid unused;
    TForm1 form(messages, dialog, unused);
    form.show();

    SimulatedInterface product;
    product.vendorId = contents.vendorId;
    product.productId = contents.productId;
    product.product.outputReportLength = kLout;
    product.product.inputReportLength = kLout;
    product.product.blockLength = kBlockLength;
    product.product.payloadSize = kPayload;

    std::size_t reports = 0;
    for (auto _ : state) {
        state.PauseTiming();
        SimulatedHid hid;
        hid.Attach(product);
        auto device = hid.OpenDevice(hid.PresentInterfaces()->At(0).path);
        state.ResumeTiming();

        UploadFirmware(form.Behaviour, *device);

        state.PauseTiming();
        reports += hid.Log(0).reports.size();
        if (messages.last != "Firmware upgraded successfully")
            state.SkipWithError(("transfer failed: " + messages.last).c_str());
        device.reset();
        state.ResumeTiming();
    }
    state.counters["reports_per_s"] = benchmark::Counter(static_cast<double>(reports), benchmark::Counter::kIsRate);
    state.counters["s_per_report"] = benchmark::Counter(static_cast<double>(reports),
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kPayload));
}
BENCHMARK(UploadOneMebibyte)->Unit(benchmark::kMillisecond)->UseRealTime();

// One step of the gauge as a transfer makes it, drawn on the shown window: the
// cost the window adds to a report whenever the gauge moves.
void GaugeStep(benchmark::State& state) {
    CountingMessages messages;
    FixedDialog dialog;
    SimulatedHid unused;
    TForm1 form(messages, dialog, unused);
    form.show();
    QApplication::processEvents();
    int value = 0;
    for (auto _ : state) {
        value = value % 100 + 1;
        form.bar->SetProgress(value);
        QApplication::processEvents();
    }
}
BENCHMARK(GaugeStep)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
