#include <stdio.h>
#include <propreg/client.h>

int main(void)
{
    /* The daemon serving $ZKV_REGISTRY_ROOT listens at ROOT/propregd.sock. */
    char path[4096];
    prc_conn *conn = NULL;
    prc_key key = 0;
    uint32_t type = 0, port = 0, size = sizeof port;
    uint32_t rc = prc_socket_path(NULL, path, sizeof path);
    if (rc == 0) rc = prc_connect(path, &conn);
    if (rc == 0) rc = prc_open(conn, "SYSTEM.app.port", &key);
    if (rc == 0) rc = prc_get_value(conn, key, &type, &port, &size);
    if (rc == 0)
        printf("SYSTEM.app.port = %u\n", port);
    else
        fprintf(stderr, "error %u: %s\n", rc, conn != NULL ? prc_error_text(conn) : "no daemon");
    prc_disconnect(conn); /* the daemon closes the connection's keys */
    return rc == 0 ? 0 : 1;
}
