/* The C interface from C alone: bad arguments get answers, not crashes; then a
 * receipt on the register at the port given, with the line's events seen by
 * the handler. Prints "printed" and exits 0 when all went as expected. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kestor_c.h"

static int failures = 0;

/* Runs Request and checks that its answer contains Expected. */
static void expect(kestor_t* driver, const char* request, const char* expected) {
    char* answer = kestor_call(driver, request);
    if (answer == NULL || strstr(answer, expected) == NULL) {
        fprintf(stderr, "%s\n  answered %s\n  expected %s\n", request ? request : "(NULL)",
                answer ? answer : "(NULL)", expected);
        ++failures;
    }
    kestor_free(answer);
}

/* Counts the blocks sent, the blocks received and the other events. */
static int KESTOR_CALL count_event(void* context, const char* event) {
    int* counts = (int*)context;
    ++counts[strncmp(event, "{\"event\":\"send\"", 15) == 0      ? 0
             : strncmp(event, "{\"event\":\"receive\"", 18) == 0 ? 1
                                                                 : 2];
    return 0;
}

int main(int argc, char** argv) {
    static const char ok[] = "\"ok\":true";
    int counts[3] = {0, 0, 0};
    char request[64];
    kestor_t* driver;

    if (argc != 2) return 2; /* its one argument: the register's port */
    if (strcmp(kestor_version(), KESTOR_EXPECTED_VERSION) != 0) {
        fprintf(stderr, "version %s\n", kestor_version());
        ++failures;
    }

    /* NULL and malformed input. */
    kestor_destroy(NULL);
    kestor_free(NULL);
    kestor_abort(NULL);
    kestor_set_event_handler(NULL, count_event, counts);
    expect(NULL, "{\"get\": \"PortNum\"}", "\"ok\":false");
    driver = kestor_create();
    expect(driver, NULL, "\"ok\":false");
    expect(driver, "{\"op\": ", "\"error\":\"not JSON: ");
    expect(driver, "[1, 2]", "{\"ok\":false,\"error\":\"not a JSON object\"}");
    expect(driver, "{\"op\": \"NoSuch\"}", "unknown operation");
    expect(driver, "{\"id\": 18446744073709551616, \"get\": \"Connected\"}",
           "{\"id\":18446744073709551616,\"ok\":true,\"result\":false}");

    /* A receipt, the handler counting the blocks on the line. */
    sprintf(request, "{\"set\": \"PortNum\", \"value\": %d}", atoi(argv[1]));
    expect(driver, request, ok);
    kestor_set_event_handler(driver, count_event, counts);
    expect(driver, "{\"op\": \"Open\"}", ok);
    expect(driver, "{\"op\": \"OpenReceipt\", \"args\": [\"motSale\"]}", ok);
    expect(driver,
           "{\"op\": \"AddReceiptItem\", \"args\": [\"\xD0\xA5\xD0\xBB\xD0\xB5\xD0\xB1\", "
           "\"45.00\", false, 1, 0, 0, 2, 0, 0, \"\"]}",
           ok);
    expect(driver,
           "{\"op\": \"CloseReceipt\", \"args\": [\"\", \"mptCash\", \"100.00\", \"0.00\", \"\", "
           "0, \"moiNumber\"]}",
           ok);
    expect(driver, "{\"get\": \"SaleSum\"}", ok);
    if (counts[0] == 0 || counts[1] == 0 || counts[2] == 0) {
        fprintf(stderr, "events: %d sent, %d received, %d others\n", counts[0], counts[1],
                counts[2]);
        ++failures;
    }
    /* No handler: the driver runs on without one. */
    kestor_set_event_handler(driver, NULL, NULL);
    expect(driver, "{\"op\": \"Close\"}", ok);
    kestor_destroy(driver);

    if (failures != 0) return 1;
    puts("printed");
    return 0;
}
