// Downloads one object with HttpDownloadToFile a few times and prints the
// throughput of each run and of the best one, for bench/http_download_bench.sh.
//   http_download_bench <host> <port> <object> <local path> [runs]
#include "transfer/http_download.h"

#include <cstdio>
#include <cstdlib>

namespace {

const int kDefaultRuns = 3;

LONGLONG Now()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

LONGLONG FileSize(const char *path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return -1;
    return ((LONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: %s <host> <port> <object> <local path> [runs]\n", argv[0]);
        return 2;
    }
    const char *host = argv[1];
    INTERNET_PORT port = (INTERNET_PORT)atoi(argv[2]);
    const char *object = argv[3];
    const char *local_path = argv[4];
    int runs = argc > 5 ? atoi(argv[5]) : kDefaultRuns;

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    double best = 0;
    for (int run = 1; run <= runs; run++) {
        LONGLONG start = Now();
        LONG result = HttpDownloadToFile(host, port, object, local_path, 0, NULL);
        double seconds = (double)(Now() - start) / (double)frequency.QuadPart;
        if (result != 0) {
            fprintf(stderr, "run %d: result 0x%08lX\n", run, (unsigned long)result);
            return 1;
        }
        LONGLONG bytes = FileSize(local_path);
        double mb_per_s = (double)bytes / 1e6 / seconds;
        printf("run %d: %lld bytes in %.3f s, %.1f MB/s\n", run, bytes, seconds, mb_per_s);
        if (mb_per_s > best)
            best = mb_per_s;
    }
    printf("best MB/s: %.1f\n", best);
    return 0;
}
