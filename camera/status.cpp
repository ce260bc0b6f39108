#include "camera/status.h"

#include <cstdio>
#include <sys/time.h>

#include "camera/message.h"
#include "serial/frame.h"
#include "serial/link.h"

namespace {

constexpr uint8_t DISK_NO_INFO = 0x87;
constexpr uint8_t BATTERY_HIGH = 6;
constexpr uint8_t POWER_AC = 0x10;

int32_t reply_int32(const Packet &reply, int offset)
{
    return static_cast<int32_t>(le32(reply.data + offset));
}

// One request without payload whose reply must reach `needed` bytes.
// Without such a reply nothing is read from it: the caller shows no value.
bool query(unsigned type, int needed, Packet *reply)
{
    if (camera_request(type, nullptr, 0, reply) != 0 || reply->length < needed) {
        std::printf("no reply from the camera\n");
        return false;
    }
    return true;
}

}  // namespace

int camera_get_disk_info(const char *drive, int *size, int *free_bytes)
{
    // The drive letter keeps its case: the camera answers "d" as it answers
    // "D".
    const uint8_t payload[4] = {static_cast<uint8_t>(drive[0]), ':', '\\', 0};
    Packet reply{};
    if (camera_request(MSG_DISK_INFO, payload, sizeof payload, &reply) != 0 ||
        reply.length <= REPLY_STATUS_OFFSET)
        return -1;
    if (reply.data[REPLY_STATUS_OFFSET] == DISK_NO_INFO || reply.length < REPLY_VALUES_OFFSET + 8)
        return -1;
    *size = reply_int32(reply, REPLY_VALUES_OFFSET);
    *free_bytes = reply_int32(reply, REPLY_VALUES_OFFSET + 4);
    return 0;
}

int camera_get_power(int *battery_high, int *on_ac)
{
    Packet reply{};
    if (!query(MSG_POWER, REPLY_VALUES_OFFSET + 4, &reply))
        return -1;
    *battery_high = reply.data[REPLY_VALUES_OFFSET] == BATTERY_HIGH ? 1 : 0;
    *on_ac = reply.data[REPLY_VALUES_OFFSET + 3] == POWER_AC ? 1 : 0;
    return 0;
}

int camera_get_date(time_t *clock)
{
    Packet reply{};
    if (!query(MSG_DATE, REPLY_VALUES_OFFSET + 4, &reply))
        return -1;
    *clock = static_cast<time_t>(reply_int32(reply, REPLY_VALUES_OFFSET));
    return 0;
}

long camera_elapsed_ms(const struct timeval *start, const struct timeval *end)
{
    long long us = (static_cast<long long>(end->tv_sec) - start->tv_sec) * 1000000LL +
                   (static_cast<long long>(end->tv_usec) - start->tv_usec);
    return static_cast<long>(us / 1000);
}

void camera_ping(void)
{
    // A bare EOT(0) is answered by the camera with an ACK of its number;
    // the round trip shows the line's latency.  Unlike the speed probes the
    // counter is not stepped back: each ping has its own number.
    for (int i = 0; i < 4; i++) {
        struct timeval start, end;
        gettimeofday(&start, nullptr);
        camera_send_eot(0);
        int len;
        const uint8_t *frame = serial_get_frame(&len);
        gettimeofday(&end, nullptr);
        if (frame != nullptr)
            std::printf("pong %d, %lu ms\n", i,
                        static_cast<unsigned long>(camera_elapsed_ms(&start, &end)));
        else
            std::printf("time out\n");
    }
}

int camera_test(int type)
{
    camera_check_type(static_cast<unsigned>(type));
    Packet reply{};
    camera_request(static_cast<unsigned>(type), nullptr, 0, &reply);
    return 0;
}
