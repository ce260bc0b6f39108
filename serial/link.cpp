// Link control: the acknowledge and end-of-transmission packets and the
// two counters that number them.
#include "serial/link.h"

#include <cstdio>

#include "serial/codec.h"
#include "serial/frame.h"
#include "serial/port.h"

namespace {

uint8_t packet_counter;  // number of the next PKT_EOT this side sends
uint8_t ack_counter;     // number of the next PKT_ACK, and of the camera's next PKT_EOT

bool acked_since_reset;
LineCounts counts;

void send_link_packet(uint8_t seq, uint8_t type, uint8_t status)
{
    const uint8_t packet[6] = {seq, type, status, 0, 0, 0};
    serial_send_packet(packet, 6);
}

}  // namespace

void serial_send_ack(uint8_t status)
{
    const uint8_t seq = ack_counter;
    // A NACK asks for the transmission again; its acknowledge will carry
    // the same number.
    if (status == 0) {
        acked_since_reset = true;
        ack_counter++;
        counts.acks++;
    }
    send_link_packet(seq, PKT_ACK, status);
}

void serial_send_eot(uint8_t status)
{
    const uint8_t seq = packet_counter++;
    send_link_packet(seq, PKT_EOT, status);
}

void serial_send_ack_numbered(uint8_t seq, uint8_t status)
{
    send_link_packet(seq, PKT_ACK, status);
}

bool serial_acked_since_reset(void)
{
    return acked_since_reset;
}

void serial_reset_line_counts(void)
{
    counts = LineCounts{};
}

LineCounts serial_line_counts(void)
{
    return counts;
}

void serial_count_repeat(void)
{
    counts.repeats++;
}

void serial_count_given_up(void)
{
    counts.given_up++;
}

int serial_wait_ack(void)
{
    Packet pkt{};
    return serial_wait_ack_packet(&pkt);
}

int serial_wait_ack_packet(Packet *out)
{
    const uint8_t expected = static_cast<uint8_t>(packet_counter - 1);
    Packet &pkt = *out;
    if (serial_get_packet(&pkt) == nullptr) {
        // A lost line is reported once, by the caller, not by every wait.
        if (serial_line_state() == SERIAL_LINE_OK)
            std::printf("serial_get_packet() error waiting for ACK\n");
        return -1;
    }
    if (pkt.type != PKT_ACK) {
        std::printf("Received a packet type %d waiting for ACK\n", pkt.type);
        return -2;
    }
    if (pkt.seq != expected) {
        std::printf("Out of sequence ACK received, expected %d, got %d\n", expected, pkt.seq);
        return -3;
    }
    return pkt.ack_status;
}

int serial_wait_eot(void)
{
    Packet pkt{};
    return serial_wait_eot_packet(&pkt);
}

int serial_wait_eot_packet(Packet *out)
{
    Packet &pkt = *out;
    if (serial_get_packet(&pkt) == nullptr) {
        if (serial_line_state() == SERIAL_LINE_OK)
            std::printf("serial_get_packet() error waiting EOT\n");
        return -1;
    }
    if (pkt.type != PKT_EOT) {
        std::printf("Received a packet type %d waiting EOT\n", pkt.type);
        return -2;
    }
    if (pkt.seq != ack_counter) {
        std::printf("Out of sequence ACK received, expected %d, got %d\n", ack_counter, pkt.seq);
        return -3;
    }
    return 0;
}

void serial_reset_counters(void)
{
    packet_counter = 0;
    ack_counter = 0;
    acked_since_reset = false;
}

void serial_step_back_packet_counter(void)
{
    packet_counter--;
}

uint8_t serial_packet_counter(void)
{
    return packet_counter;
}

uint8_t serial_ack_counter(void)
{
    return ack_counter;
}
