"""What makes the service safe to leave running on a desktop: the headers every answer carries,
and who counts as this machine.

A page elsewhere can make the visitor's browser talk to 127.0.0.1, either with a request of its
own (a form or a no-cors fetch names its origin in `Origin`) or through a name of its own that
resolves to 127.0.0.1 a moment later (DNS rebinding names the foreign host in `Host`). So the
inspector answers only a loopback authority, and nothing from a foreign origin is served or kept.
"""

import ipaddress
import re
import urllib.parse

# Only the page's own script, style and images, and no way to frame it, post it or rebase it.
CONTENT_SECURITY_POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; "
                           "img-src 'self'; connect-src 'self'; base-uri 'none'; "
                           "form-action 'none'; frame-ancestors 'none'")
SECURITY_HEADERS = {
    "Content-Security-Policy": CONTENT_SECURITY_POLICY, "X-Content-Type-Options": "nosniff",
    "X-Frame-Options": "DENY", "Referrer-Policy": "no-referrer",
    # A page elsewhere may not embed the uploads either (an <img> would tell it their size).
    "Cross-Origin-Resource-Policy": "same-origin", "Cache-Control": "no-store"}

# localhost, 127.0.0.1 or [::1], each with or without a port; host names are case-insensitive.
LOOPBACK_HOST_RE = re.compile(r"(?:localhost|127\.0\.0\.1|\[::1\])(?::[0-9]{1,5})?\Z",
                              re.IGNORECASE)


def loopback_host(values):
    """Whether the Host header values of a request (all of them) name this machine's loopback."""
    return len(values) == 1 and LOOPBACK_HOST_RE.match(values[0]) is not None


def authorities(request):
    """What names the server a request is for: the authority of an absolute-form target, which
    takes the place of Host, or else every Host header value."""
    target = request.raw_path
    if not target.startswith("/"):
        return [urllib.parse.urlsplit(target).netloc]
    return request.headers.getall("Host", [])


def loopback_origin(origin):
    """Whether an Origin header value names a page served from this machine's loopback."""
    parts = urllib.parse.urlsplit(origin)
    return (parts.scheme in ("http", "https") and not parts.path and not parts.query
            and "@" not in parts.netloc and LOOPBACK_HOST_RE.match(parts.netloc) is not None)


def foreign_origin(request):
    """Whether a request was sent by a page of another site (a browser names it in Origin).
    Clients that are not browsers send no Origin, and are served."""
    values = request.headers.getall("Origin", [])
    return bool(values) and not (len(values) == 1 and loopback_origin(values[0]))


def local_peer(remote):
    """Whether a connection from address `remote` (None for a local socket) is this machine's."""
    if remote is None:
        return True
    try:
        address = ipaddress.ip_address(remote.split("%", 1)[0])
    except ValueError:
        return False
    mapped = getattr(address, "ipv4_mapped", None)  # ::ffff:127.0.0.1 from a dual-stack socket
    return (mapped or address).is_loopback


# The inspector's own paths: with --upstream, everything else goes on to the upstream.
INSPECTOR_PREFIXES = ("/static/", "/api/", "/files/", "/thumbs/")
INSPECTOR_PATHS = ("/", "/events")


def inspector_path(path):
    return path in INSPECTOR_PATHS or path.startswith(INSPECTOR_PREFIXES)
