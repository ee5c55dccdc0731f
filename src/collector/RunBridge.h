#pragma once

#include "base/LogSink.h"
#include "steps/StepContext.h"
#include "platform/Platform.h"

#include <atomic>
#include <functional>
#include <future>
#include <mutex>

namespace velkor {

class CollectorModel;

// What a run's worker thread shares with the model. The worker never touches the model
// directly: it posts work to the main thread and waits for it. When the model is gone, posted
// work is dropped and the worker goes on without waiting.
struct RunBridge : LogSink {
    RunBridge(CollectorModel* model, Platform platform, CollectionSteps steps)
        : model(model), platform(std::move(platform)), steps(std::move(steps))
    {
    }

    // Runs work on the main thread with the model and waits until it is done.
    void onMainThread(const std::function<void(CollectorModel&)>& work);
    void log(const QString& message) override;
    // The model is going away: work is no longer posted to it, the run's tools are ended and
    // the pipeline stops at its next step.
    void detachModel();
    // Throws when the run was abandoned, so the pipeline leaves through its failure path.
    void throwIfAbandoned() const;

    std::mutex mutex;
    CollectorModel* model;
    std::atomic<bool> abandoned{false};
    std::promise<void> finished;
    const Platform platform;
    const CollectionSteps steps;
};

// One whole collection run; executed on the worker thread.
void runCollection(RunBridge& bridge);

// Writes the run log, masked, to the path.
void writeCollectorLog(RunBridge& bridge, const QString& path);

} // namespace velkor
