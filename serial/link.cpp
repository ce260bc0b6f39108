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

// The last PKT_ACK sent, to send it again, and what was heard since.
uint8_t last_answer_seq;
uint8_t last_answer_status = NACK;
// The last acknowledge of status 0: a NACK sent since leaves its number old.
uint8_t last_acked_seq;
bool acked_since_reset;
int last_sent;
unsigned long heard_mark;
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
        last_acked_seq = seq;
        acked_since_reset = true;
        ack_counter++;
        counts.acks++;
    } else {
        counts.repeats++;
    }
    last_answer_seq = seq;
    last_answer_status = status;
    last_sent = PKT_ACK;
    heard_mark = serial_frames_heard();
    send_link_packet(seq, PKT_ACK, status);
}

void serial_send_eot(uint8_t status)
{
    const uint8_t seq = packet_counter++;
    last_sent = PKT_EOT;
    heard_mark = serial_frames_heard();
    send_link_packet(seq, PKT_EOT, status);
}

bool serial_heard_since_sent(void)
{
    return serial_frames_heard() != heard_mark;
}

int serial_last_sent(void)
{
    return last_sent;
}

void serial_repeat_answer(void)
{
    counts.repeats++;
    last_sent = PKT_ACK;
    heard_mark = serial_frames_heard();
    send_link_packet(last_answer_seq, PKT_ACK, last_answer_status);
}

void serial_answer_eot(uint8_t seq)
{
    if (acked_since_reset && seq == last_acked_seq && seq != ack_counter) {
        last_answer_seq = seq;
        last_answer_status = 0;
        serial_repeat_answer();
    } else {
        serial_send_ack(0);
    }
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
    // The camera's answer closes this side's transmission: whatever comes
    // after it is the reply.
    heard_mark = serial_frames_heard();
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
    last_answer_status = NACK;
    acked_since_reset = false;
    last_sent = 0;
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
