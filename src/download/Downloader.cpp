#include "download/Downloader.h"

#include "download/DownloadRules.h"

namespace orv {

Downloader::Downloader(TraceLog& traceLog, ProgressWindow& progressWindow) : log(traceLog), progress(progressWindow)
{
}

void Downloader::StoreProgress(uint64_t received, uint64_t total)
{
    bytesReceived.store(ClampProgressCount(received));
    bytesTotal.store(ClampProgressCount(total));
}

} // namespace orv
