// Devices created and destroyed with 1, 100 and 1,000 of them alive, and the
// cost they add to a host's own tr() lookups that no catalogue answers.
#include "plugin/ktmrc600cam.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

std::vector<std::unique_ptr<KTDeviceInterface>> liveDevices(KTMRC600Cam &root, int count)
{
    std::vector<std::unique_ptr<KTDeviceInterface>> devices;
    for (int i = 0; i < count; ++i)
        devices.emplace_back(root.initInstance());
    return devices;
}

void BM_CreateAndDestroyDevice(benchmark::State &state)
{
    KTMRC600Cam root;
    auto alive = liveDevices(root, int(state.range(0)) - 1);
    for (auto _ : state) {
        std::unique_ptr<KTDeviceInterface> d(root.initInstance());
        benchmark::DoNotOptimize(d.get());
    }
}
BENCHMARK(BM_CreateAndDestroyDevice)->Arg(1)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_MissedTranslation(benchmark::State &state)
{
    KTMRC600Cam root;
    auto alive = liveDevices(root, int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(QCoreApplication::translate("HostWindow", "A text no catalogue has"));
}
BENCHMARK(BM_MissedTranslation)->Arg(0)->Arg(1)->Arg(100)->Arg(1000);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
