// Lists one folder of tidewright-server page by page over one keep-alive connection, the way the client's
// folder enumeration does, and prints "<nodes> <seconds>". Built and run by vs-nginx.sh.
//
//   list_pages BASE TOKEN PARENT_ID PAGE_SIZE

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: list_pages BASE TOKEN PARENT_ID PAGE_SIZE\n");
        return 2;
    }
    httplib::Client client(argv[1]);
    client.set_keep_alive(true);
    httplib::Headers headers = {{"Authorization", std::string("Bearer ") + argv[2]}};
    std::string path = std::string("/api/v1/nodes?parent=") + argv[3] + "&limit=" + argv[4];
    std::string cursor;
    long nodes = 0;
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        auto result = client.Get(cursor.empty() ? path : path + "&cursor=" + cursor, headers);
        if (!result || result->status != 200) {
            std::fprintf(stderr, "list_pages: request failed\n");
            return 1;
        }
        auto page = nlohmann::json::parse(result->body);
        nodes += static_cast<long>(page["items"].size());
        if (!page.contains("nextCursor")) break;
        cursor = page["nextCursor"].get<std::string>();
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%ld %.3f\n", nodes, seconds);
    return 0;
}
