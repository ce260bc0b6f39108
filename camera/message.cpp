#include "camera/message.h"

#include <cstdio>
#include <cstring>

#include "serial/frame.h"
#include "serial/link.h"
#include "shell/exits.h"

// The camera's firmware dispatches on (command, class) and checks the word
// of each request; the words are the ones the camera expects, rows that no
// operation uses are kept for the `test` command.
const MessageDescriptor message_table[MSG_TYPES] = {
    {0x01, 0x12, 0x008af714},  // 0  MSG_ID
    {0x01, 0x11, 0x0479086a},  // 1  MSG_FILE
    {0x01, 0x11, 0x02b10cea},  // 2
    {0x04, 0x12, 0x009dd308},  // 3
    {0x05, 0x12, 0x009dd2fc},  // 4
    {0x09, 0x11, 0x008af7d8},  // 5  MSG_DISK_INFO
    {0x0A, 0x11, 0x008af7dc},  // 6  MSG_DISK
    {0x0A, 0x12, 0x008af670},  // 7
    {0x0B, 0x11, 0x008af694},  // 8
    {0x0B, 0x11, 0x008af6a8},  // 9  MSG_LIST
    {0x0D, 0x11, 0x007bf48c},  // 10 MSG_DELETE
    {0x0A, 0x12, 0x008af670},  // 11 MSG_POWER
    {0x03, 0x12, 0x0164f378},  // 12 MSG_DATE
    {0x0E, 0x11, 0x00000000},  // 13 MSG_SET_ATTR
    {0x05, 0x11, 0x00000000},  // 14 MSG_MKDIR
    {0x06, 0x11, 0x00000000},  // 15 MSG_RMDIR
    {0x03, 0x11, 0x00000000},  // 16 MSG_UPLOAD
};

int camera_build_message(unsigned type, const uint8_t *payload, int payload_len,
                         uint8_t *out)
{
    const MessageDescriptor &row = message_table[type];
    int total = MESSAGE_HEADER_LEN + payload_len;
    put_le32(out, 2);
    out[4] = row.command;
    out[5] = 0;
    out[6] = 0;
    out[7] = row.klass;
    put_le16(out + 8, static_cast<uint16_t>(total));
    out[10] = 0;
    out[11] = 0;
    put_le32(out + 12, row.word);
    if (payload_len > 0)
        std::memcpy(out + MESSAGE_HEADER_LEN, payload, static_cast<size_t>(payload_len));
    return total;
}

void serial_send_message_frag(unsigned type, const uint8_t *payload,
                              uint16_t payload_len, int fragment)
{
    if (type >= MSG_TYPES) {
        std::fprintf(stderr,
                     "INTERNAL BUG: serial_send_message_frag():message type %d not supported\n",
                     static_cast<int>(type));
        close_and_exit(1);
    }
    static uint8_t message[SERIAL_MAX_PAYLOAD];
    if (payload_len > MESSAGE_MAX_PAYLOAD) {
        // More than one packet can carry: the CRC layer has no seed for
        // that length and ends the program, naming it, before it reads a
        // byte of the message, so nothing is built.
        serial_send_data_packet(message, MESSAGE_HEADER_LEN + payload_len, fragment);
        return;
    }
    int total = camera_build_message(type, payload, payload_len, message);
    serial_send_data_packet(message, total, fragment);
}

void camera_send_request(unsigned type, const uint8_t *payload, uint16_t payload_len)
{
    serial_send_message_frag(type, payload, payload_len, 0);
    serial_send_eot(1);
    // The acknowledge's outcome is reported by the wait itself; the camera
    // answers the request whatever it was, so the exchange goes on.
    serial_wait_ack();
}

int camera_request(unsigned type, const uint8_t *payload, uint16_t payload_len,
                   Packet *reply)
{
    // The camera's EOT arrives in the same frame buffer the reply was read
    // into, so the reply data is copied out before waiting for it.
    static uint8_t reply_copy[SERIAL_FRAME_MAX];

    camera_send_request(type, payload, payload_len);
    Packet pkt{};
    int got = serial_get_packet(&pkt) != nullptr;
    if (got) {
        *reply = pkt;
        int n = 0;
        if ((pkt.type == PKT_MSG || pkt.type == PKT_MSG_ALT) && pkt.data != nullptr)
            n = pkt.length;
        if (n > SERIAL_FRAME_MAX)
            n = SERIAL_FRAME_MAX;
        if (n > 0)
            std::memcpy(reply_copy, pkt.data, static_cast<size_t>(n));
        reply->length = static_cast<uint16_t>(n);
        reply->data = reply_copy;
    }
    serial_wait_eot();
    serial_send_ack(0);
    return got ? 0 : -1;
}

int camera_check_payload(int payload_len)
{
    if (payload_len < 0 || payload_len > MESSAGE_MAX_PAYLOAD) {
        std::printf("request too long for one packet\n");
        return -1;
    }
    return 0;
}

int camera_reply_text(const uint8_t *data, int length, int offset, char *out)
{
    out[0] = 0;
    if (data == nullptr || offset < 0 || length <= offset)
        return -1;
    int n = 0;
    while (offset + n < length && n < 1023 && data[offset + n] != 0) {
        out[n] = static_cast<char>(data[offset + n]);
        n++;
    }
    out[n] = 0;
    return 0;
}

const char *camera_printable(const char *text, char *out)
{
    size_t i = 0;
    for (; text[i] != 0 && i < 1023; i++) {
        auto c = static_cast<unsigned char>(text[i]);
        out[i] = (c < 0x20 || c == 0x7F) ? '?' : text[i];
    }
    out[i] = 0;
    return out;
}
