from kestrel.cli import main

raise SystemExit(main())
