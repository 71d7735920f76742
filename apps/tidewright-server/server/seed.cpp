#include "server/seed.h"

#include "server/api_error.h"
#include "server/util.h"

#include <string>
#include <vector>

namespace tw::server {
namespace {

// Deterministic filler so the same seed gives the same bytes on every machine.
std::string filler(std::string header, std::int64_t size, std::uint64_t seed) {
    std::string bytes = std::move(header);
    bytes.reserve(static_cast<std::size_t>(size));
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    while (static_cast<std::int64_t>(bytes.size()) < size) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        bytes.push_back(static_cast<char>(x & 0xFF));
    }
    bytes.resize(static_cast<std::size_t>(size));
    return bytes;
}

std::string text(const std::string& line, int repeat) {
    std::string bytes;
    for (int i = 0; i < repeat; ++i)
        bytes += line;
    return bytes;
}

Node addFile(Service& service, std::int64_t parent, const std::string& name, const std::string& mime,
             const std::string& content) {
    TempFile file(service.blobs->tmpDir());
    file.write(content.data(), content.size());
    FileCommit commit;
    commit.name = name;
    commit.parent = parent;
    commit.mime = mime;
    commit.size = file.size();
    commit.rev = "r" + randomHex(12);
    file.moveTo(service.blobs->blobPath(commit.rev));
    return service.store->commitFile(commit).node;
}

}  // namespace

void seedDemo(Service& service) {
    Store& store = *service.store;
    if (store.nodeCount() > 0) return;
    std::int64_t documents = store.createFolder("Documentos", 0).num;
    std::int64_t contracts = store.createFolder("Contratos", documents).num;
    std::int64_t photos = store.createFolder("Fotos", 0).num;
    std::int64_t holidays = store.createFolder("Férias 2024", photos).num;
    std::int64_t music = store.createFolder("Música", 0).num;
    std::int64_t projects = store.createFolder("Projetos", 0).num;
    std::int64_t site = store.createFolder("Site novo", projects).num;

    addFile(service, 0, "Leia-me.txt", "text/plain",
            "Bem-vindo ao Tidewright.\nEstes arquivos foram criados para a demonstração.\n");
    addFile(service, documents, "Relatório 2025.pdf", "application/pdf", filler("%PDF-1.7\n", 312'457, 1));
    addFile(service, documents, "Orçamento anual.xlsx",
            "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
            filler("PK\x03\x04", 48'213, 2));
    addFile(service, documents, "Notas de reunião.md", "text/markdown",
            text("- Revisar o cronograma e as metas do trimestre.\n", 120));
    addFile(service, contracts, "Contrato de aluguel.pdf", "application/pdf",
            filler("%PDF-1.4\n", 158'730, 3));
    addFile(service, holidays, "Praia do Forte.jpg", "image/jpeg", filler("\xFF\xD8\xFF\xE0", 2'483'117, 4));
    addFile(service, holidays, "Pôr do sol.png", "image/png", filler("\x89PNG\r\n\x1A\n", 1'127'004, 5));
    addFile(service, music, "Canção de ninar.mp3", "audio/mpeg", filler("ID3\x04", 4'204'881, 6));
    addFile(service, site, "index.html", "text/html",
            "<!doctype html>\n<html lang=\"pt-BR\"><head><meta charset=\"utf-8\"><title>Site novo</title>"
            "</head><body><h1>Olá!</h1></body></html>\n");
    addFile(service, projects, "Apresentação final.mp4", "video/mp4",
            filler(std::string("\x00\x00\x00\x18"
                               "ftypmp42",
                               12),
                   12'345'678, 7));
    Node draft = addFile(service, 0, "Rascunho antigo.txt", "text/plain", text("rascunho\n", 50));
    store.trash(draft.num, std::nullopt);
}

void seedBulk(Service& service, std::int64_t count) {
    Store& store = *service.store;
    std::int64_t folder = 0;
    try {
        folder = store.createFolder("Bulk", 0).num;
    } catch (const ApiError&) {
        return;  // already there
    }
    store.bulkFiles(folder, count, "file-", [&service] {
        std::string rev = "r" + randomHex(12);
        TempFile empty(service.blobs->tmpDir());
        empty.moveTo(service.blobs->blobPath(rev));
        return rev;
    });
}

}  // namespace tw::server
