"""wsconsole's development web service: the two POST endpoints the console calls, answered with
a plain-text report, and an inspector that shows what arrived."""


def main(argv=None):
    # Imported here so that the store and the report load without the HTTP library.
    from .server import main as serve
    return serve(argv)
