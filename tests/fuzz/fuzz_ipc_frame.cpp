// Fuzz the IPC frame decoder: any bytes must decode or be refused, never
// crash, hang or allocate beyond the payload bound. A frame that decodes
// must encode again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kalder_ipc_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kalder_ipc::kHeaderSize)
        return 0;
    kalder_ipc::Header h;
    std::string why;
    if (!kalder_ipc::parse_header(data, &h, &why))
        return 0;
    size_t len = size - kalder_ipc::kHeaderSize;
    kalder_ipc::Message m;
    if (!kalder_ipc::decode(h, data + kalder_ipc::kHeaderSize, len, &m, &why))
        return 0;
    std::string again;
    if (!kalder_ipc::encode(m, &again, &why))
        abort();  // everything the decoder accepts must be sendable
    if (again.size() != size || again.compare(0, size, reinterpret_cast<const char *>(data), size) != 0)
        abort();  // the encoding is canonical
    return 0;
}
