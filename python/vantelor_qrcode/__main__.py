"""python3 -m vantelor_qrcode serve [--host HOST] [--port PORT]"""

import argparse
import sys


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m vantelor_qrcode")
    commands = parser.add_subparsers(dest="command", required=True)
    serve = commands.add_parser("serve", help="serve the designer page: compose a code, see it "
                                "live, check that it reads back, download it")
    serve.add_argument("--host", default="127.0.0.1",
                       help="address to listen on (default 127.0.0.1, this machine only)")
    serve.add_argument("--port", type=int, default=8765,
                       help="port to listen on (default 8765; 0 picks a free one)")
    args = parser.parse_args(argv)
    from .designer import serve as run
    try:
        run(args.host, args.port)
    except OSError as exc:
        print(f"python3 -m vantelor_qrcode serve: cannot listen on {args.host}:{args.port}: "
              f"{exc.strerror or exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
