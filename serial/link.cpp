// Link control: the acknowledge and end-of-transmission packets.
#include "serial/link.h"

#include "serial/codec.h"
#include "serial/frame.h"

namespace {

LineCounts counts;

void send_link_packet(uint8_t seq, uint8_t type, uint8_t status)
{
    const uint8_t packet[6] = {seq, type, status, 0, 0, 0};
    serial_send_packet(packet, 6);
}

}  // namespace

void serial_send_ack(uint8_t seq, uint8_t status)
{
    send_link_packet(seq, PKT_ACK, status);
}

void serial_send_eot(uint8_t seq, uint8_t status)
{
    send_link_packet(seq, PKT_EOT, status);
}

void serial_reset_line_counts(void)
{
    counts = LineCounts{};
}

LineCounts serial_line_counts(void)
{
    return counts;
}

void serial_count_ack(void)
{
    counts.acks++;
}

void serial_count_repeat(void)
{
    counts.repeats++;
}

void serial_count_given_up(void)
{
    counts.given_up++;
}
