"""Parquet event files: one event per row, read and written one row group at a time.

Columns (every list column holds one list per event):

- ``description`` (string), ``module_prefix_sum`` (list of int64), ``x``, ``y``, ``z``
  (lists of float64) and ``t`` (list of float64, null for an event without times);
- the Monte Carlo table: ``mc_description`` (list of strings, the table's column names in
  order) and one column ``mc_<name>`` per recognised Monte Carlo column (``mc_key`` uint64;
  ``mc_pid``, ``mc_charge`` and the flags int64; ``mc_p``, ``mc_pt``, ``mc_eta``, ``mc_phi``
  float64; ``mc_hits`` lists of int64), holding one value per particle, null for an event
  whose table lacks that column.

Events read back are event dictionaries whose "montecarlo" is the usual table (a list of rows
of plain Python values, ready for the validator) and whose coordinate and prefix-sum entries
are numpy arrays viewing the file's Arrow buffers, which ``trelmon.DetectorEvent.Event`` reads
in one pass. A table stored in Parquet has one cell per column in every row, names only the
recognised columns, each at most once, and holds cells of the column's type; the writer
refuses any other table (JSON files take anything).
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from .files import StrPath, atomic_write, int_list, no_collection

if TYPE_CHECKING:
    from .generate import EventColumns

__all__ = [
    "DEFAULT_ROW_GROUP_EVENTS",
    "MC_TYPES",
    "SCHEMA",
    "ParquetEventError",
    "columns_batch",
    "event_count",
    "first_line",
    "iter_events",
    "iter_row_groups",
    "native_events",
    "open_event_file",
    "row_group_columns",
    "row_group_events",
    "write_events",
]

NUMBER_OF_MODULES = 52

#: Events per row group the writer makes from event dictionaries.
DEFAULT_ROW_GROUP_EVENTS = 64

_FLAG = pa.int64()
#: Recognised Monte Carlo columns and the Arrow type of their cells.
MC_TYPES = {
    "key": pa.uint64(),
    "pid": pa.int64(),
    "p": pa.float64(),
    "pt": pa.float64(),
    "eta": pa.float64(),
    "phi": pa.float64(),
    "charge": pa.int64(),
    "hits": pa.list_(pa.int64()),
    "isLong": _FLAG,
    "isDown": _FLAG,
    "hasVelo": _FLAG,
    "hasUT": _FLAG,
    "hasScifi": _FLAG,
    "fromBeautyDecay": _FLAG,
    "fromCharmDecay": _FLAG,
    "fromStrangeDecay": _FLAG,
}
#: numpy's type of each flat Monte Carlo column (found without pandas, which pyarrow would ask).
_NUMPY_TYPES = {
    name: pa.array([], type=kind).to_numpy(zero_copy_only=False).dtype
    for name, kind in MC_TYPES.items()
    if name != "hits"
}

_COORDINATES = pa.list_(pa.float64())
SCHEMA = pa.schema(
    [
        pa.field("description", pa.string(), nullable=False),
        pa.field("module_prefix_sum", pa.list_(pa.int64()), nullable=False),
        pa.field("x", _COORDINATES, nullable=False),
        pa.field("y", _COORDINATES, nullable=False),
        pa.field("z", _COORDINATES, nullable=False),
        pa.field("t", _COORDINATES),
        pa.field("mc_description", pa.list_(pa.string()), nullable=False),
        *(pa.field(f"mc_{name}", pa.list_(kind)) for name, kind in MC_TYPES.items()),
    ]
)
_INTEGER_CELLS = {name for name, kind in MC_TYPES.items() if pa.types.is_integer(kind)}
_FLOAT_CELLS = {name for name, kind in MC_TYPES.items() if pa.types.is_floating(kind)}


class ParquetEventError(ValueError):
    """A Parquet file or row group that does not hold valid events; ``row_group`` is None when
    the file as a whole is at fault."""

    def __init__(self, reason: str, row_group: int | None = None):
        self.reason = reason
        self.row_group = row_group
        super().__init__(reason if row_group is None else f"row group {row_group}: {reason}")


# ------------------------------------------------------------------------------- writing


def _numbers(values, integer: bool):
    """A list of numbers as Arrow takes them; refuses what the column cannot hold exactly."""
    if isinstance(values, np.ndarray):
        if integer and values.dtype.kind not in "iu":
            raise ValueError(f"holds {values.dtype} values")
        return values
    kinds = set(map(type, values))
    allowed = {int} if integer else {int, float}
    if not kinds <= allowed:
        for kind in kinds - allowed:
            if integer and not (issubclass(kind, (int, np.integer)) and kind is not bool):
                raise ValueError(f"holds a {kind.__name__}")
            if not integer and not issubclass(kind, (int, float, np.integer, np.floating)):
                raise ValueError(f"holds a {kind.__name__}")
            if issubclass(kind, (bool, np.bool_)):
                raise ValueError(f"holds a {kind.__name__}")
    return values


def _mc_columns(events: list[dict]) -> dict[str, list]:
    """Per recognised column, one list of cells per event (None where the table lacks it)."""
    out: dict[str, list] = {name: [] for name in MC_TYPES}
    for event in events:
        table = event["montecarlo"]
        names = table["description"]
        rows = table["particles"]
        unknown = [n for n in names if n not in MC_TYPES]
        if unknown:
            raise ValueError(f'Monte Carlo column "{unknown[0]}" has no place in a Parquet file')
        if len(set(names)) != len(names):
            raise ValueError("a Monte Carlo column is named twice")
        width = len(names)
        if any(len(row) != width for row in rows):
            raise ValueError("a Monte Carlo row without one cell per column")
        if not names and rows:
            raise ValueError("Monte Carlo rows without columns")
        position = {name: i for i, name in enumerate(names)}
        for name, cells in out.items():
            i = position.get(name)
            if i is None:
                cells.append(None)
                continue
            column = [row[i] for row in rows]
            try:
                if name == "hits":
                    for hits in column:
                        if not isinstance(hits, (list, np.ndarray)):
                            raise ValueError(f"holds a {type(hits).__name__}")
                        _numbers(hits, True)
                else:
                    _numbers(column, name in _INTEGER_CELLS)
            except ValueError as e:
                raise ValueError(f'Monte Carlo column "{name}" {e}') from None
            cells.append(column)
    return out


def _record_batch(events: list[dict]) -> pa.RecordBatch:
    from .io import check_event

    for event in events:
        check_event(event)
    columns = {
        "description": [e["description"] for e in events],
        "module_prefix_sum": [_numbers(e["module_prefix_sum"], True) for e in events],
        "x": [e["x"] for e in events],
        "y": [e["y"] for e in events],
        "z": [e["z"] for e in events],
        "t": [e.get("t") for e in events],
        "mc_description": [e["montecarlo"]["description"] for e in events],
    }
    columns.update({f"mc_{n}": v for n, v in _mc_columns(events).items()})
    arrays = []
    for field in SCHEMA:
        try:
            arrays.append(pa.array(columns[field.name], type=field.type))
        except (pa.ArrowException, OverflowError, TypeError) as e:
            raise ValueError(f'"{field.name}" cannot be stored: {e}') from None
    return pa.RecordBatch.from_arrays(arrays, schema=SCHEMA)


def _list_array(offsets: np.ndarray, values, kind) -> pa.Array:
    return pa.ListArray.from_arrays(
        pa.array(np.asarray(offsets, dtype=np.int32)), pa.array(values, type=kind)
    )


def columns_batch(columns: EventColumns) -> pa.RecordBatch:
    """A record batch of the events of a :class:`trelmon_tools.generate.EventColumns`,
    built from its arrays without Python lists."""
    n = len(columns)
    hit_offsets = columns.hit_offsets
    prefix = np.asarray(columns.module_prefix_sum, dtype=np.int64)
    arrays = {
        "description": pa.array(columns.descriptions, type=pa.string()),
        "module_prefix_sum": _list_array(
            np.arange(n + 1) * (NUMBER_OF_MODULES + 1), prefix.ravel(), pa.int64()
        ),
        "x": _list_array(hit_offsets, columns.x, pa.float64()),
        "y": _list_array(hit_offsets, columns.y, pa.float64()),
        "z": _list_array(hit_offsets, columns.z, pa.float64()),
    }
    if columns.t is None:
        arrays["t"] = pa.nulls(n, type=_COORDINATES)
    else:
        arrays["t"] = _list_array(hit_offsets, columns.t, pa.float64())
    from .generate import MC_COLUMNS

    names = list(MC_COLUMNS)
    arrays["mc_description"] = _list_array(
        np.arange(n + 1) * len(names), np.array(names * n, dtype=object), pa.string()
    )
    offsets = columns.particle_offsets
    for name, kind in MC_TYPES.items():
        if name == "hits":
            inner = _list_array(columns.mc_hit_offsets, columns.mc_hits, pa.int64())
            arrays["mc_hits"] = pa.ListArray.from_arrays(
                pa.array(np.asarray(offsets, dtype=np.int32)), inner
            )
        else:
            arrays[f"mc_{name}"] = _list_array(
                offsets, np.asarray(columns.mc[name]).astype(_NUMPY_TYPES[name]), kind
            )
    return pa.RecordBatch.from_arrays([arrays[f.name] for f in SCHEMA], schema=SCHEMA)


def _batches(events: Iterable, row_group_events: int) -> Iterator[pa.RecordBatch]:
    pending = []
    for item in events:
        if isinstance(item, dict):
            pending.append(item)
            if len(pending) == row_group_events:
                yield _record_batch(pending)
                pending = []
            continue
        if pending:
            yield _record_batch(pending)
            pending = []
        yield columns_batch(item)
    if pending:
        yield _record_batch(pending)


def write_events(
    path: StrPath,
    events: Iterable[Mapping[str, Any] | EventColumns],
    *,
    row_group_events: int = DEFAULT_ROW_GROUP_EVENTS,
    progress: Callable[[int], object] | None = None,
) -> int:
    """Write ``events`` to the Parquet file ``path`` and return how many were written.

    ``events`` yields event dictionaries (grouped ``row_group_events`` to a row group) or
    :class:`trelmon_tools.generate.EventColumns` batches (one row group each), consumed one
    at a time. The file appears whole when every event is written, or not at all: an event
    that is not well-formed, or that Parquet cannot hold, raises ``ValueError`` and leaves any
    earlier file at ``path`` as it was. ``progress(n)`` is called after each row group.
    """
    if isinstance(row_group_events, bool) or not isinstance(row_group_events, int):
        raise ValueError(f"row_group_events must be a positive integer, not {row_group_events!r}")
    if row_group_events < 1:
        raise ValueError(f"row_group_events must be a positive integer, not {row_group_events}")
    count = 0
    with atomic_write(path, "wb") as f:
        # Floats gain nothing from dictionaries; names and descriptions repeat.
        writer = pq.ParquetWriter(
            f,
            SCHEMA,
            compression="snappy",
            use_dictionary=["description", "mc_description.list.element"],
            write_statistics=False,
        )
        try:
            for batch in _batches(events, row_group_events):
                writer.write_batch(batch, row_group_size=max(batch.num_rows, 1))
                count += batch.num_rows
                if progress is not None:
                    progress(batch.num_rows)
        finally:
            writer.close()
    return count


# ------------------------------------------------------------------------------- reading


def open_event_file(path: StrPath) -> pq.ParquetFile:
    """The Parquet event file ``path``, its footer read and its columns checked against
    :data:`SCHEMA`. Raises :class:`ParquetEventError` saying what is wrong."""
    try:
        parquet = pq.ParquetFile(path)
    except (pa.ArrowException, OSError) as e:
        if isinstance(e, FileNotFoundError):
            raise
        raise ParquetEventError(f"not a Parquet file ({first_line(e)})") from None
    schema = parquet.schema_arrow
    for field in SCHEMA:
        if field.name in ("t", *(f"mc_{n}" for n in MC_TYPES)):
            if field.name not in schema.names:
                continue
        elif field.name not in schema.names:
            raise ParquetEventError(f'no column "{field.name}"')
        found = schema.field(field.name).type
        if not found.equals(field.type):
            raise ParquetEventError(f'column "{field.name}" is {found}, not {field.type}')
    return parquet


def first_line(e: BaseException) -> str:
    """The first line of an error's message (Arrow's run over several)."""
    text = str(e).strip().splitlines()
    return text[0] if text else type(e).__name__


def iter_row_groups(path: StrPath) -> Iterator[tuple[int, pa.Table]]:
    """Yield (index, table) for each row group of the Parquet event file ``path``, reading
    one row group at a time. Raises :class:`ParquetEventError` for a file that is not a
    Parquet event file or a row group that cannot be read."""
    parquet = open_event_file(path)
    for index in range(parquet.num_row_groups):
        try:
            table = parquet.read_row_group(index, use_threads=False)
        except (pa.ArrowException, OSError) as e:
            raise ParquetEventError(f"unreadable ({first_line(e)})", index) from None
        yield index, table


def _column(table: pa.Table, name: str) -> pa.Array | None:
    if name not in table.column_names:
        return None
    column = table.column(name)
    return column.chunk(0) if column.num_chunks == 1 else column.combine_chunks()


def _valid(array: pa.Array) -> np.ndarray:
    """Which entries are not null, from the validity bitmap (``is_valid`` would import
    pyarrow.compute, a tenth of a second)."""
    bitmap = array.buffers()[0]
    if bitmap is None:
        return np.full(len(array), array.null_count == 0)
    bits = np.unpackbits(np.frombuffer(bitmap, dtype=np.uint8), bitorder="little")
    return bits[array.offset : array.offset + len(array)].astype(bool)


def _lists(array: pa.Array, name: str, numpy_type=None, nullable: bool = False):
    """(offsets, values, valid) of a list column: numpy views where the values are numbers."""
    if array.null_count and not nullable:
        raise ValueError(f'"{name}" is null')
    offsets = array.offsets.to_numpy()
    values = array.values
    if numpy_type is not None:
        if values.null_count:
            raise ValueError(f'"{name}" holds a null')
        values = values.to_numpy(zero_copy_only=True)
        if len(offsets) and (offsets[0] != 0 or offsets[-1] != len(values)):
            # A slice of a longer array: its own values only, offsets from zero.
            values = values[offsets[0] : offsets[-1]]
            offsets = offsets - offsets[0]
    valid = None if not array.null_count else _valid(array)
    return offsets, values, valid


def _check_layout(prefix_offsets, prefix_values, hit_offsets, names) -> None:
    """Prefix sums of every event well-formed and the coordinate lists of matching length."""
    n = len(prefix_offsets) - 1
    lengths = np.diff(prefix_offsets)
    short = np.flatnonzero(lengths < NUMBER_OF_MODULES + 1)
    if len(short):
        raise ValueError(
            f'event {short[0]}: "module_prefix_sum" must be a list of '
            f"{NUMBER_OF_MODULES + 1} integers"
        )
    starts = prefix_offsets[:-1]
    if n and prefix_values.min(initial=0) < 0:
        bad = np.searchsorted(prefix_offsets, np.argmax(prefix_values < 0), side="right") - 1
        raise ValueError(f'event {bad}: "module_prefix_sum" must hold non-negative integers')
    first = prefix_values[starts] if n else np.zeros(0, dtype=np.int64)
    if np.any(first != 0):
        bad = int(np.argmax(first != 0))
        raise ValueError(f'event {bad}: "module_prefix_sum" must start at 0, not {first[bad]}')
    steps = np.diff(prefix_values)
    inner = np.ones(len(steps), dtype=bool)
    inner[prefix_offsets[1:-1] - 1] = False  # pairs that straddle two events
    if np.any((steps < 0) & inner):
        bad = np.searchsorted(prefix_offsets, np.argmax((steps < 0) & inner), side="right") - 1
        raise ValueError(f'event {bad}: "module_prefix_sum" must not decrease')
    hits = prefix_values[starts + NUMBER_OF_MODULES] if n else np.zeros(0, dtype=np.int64)
    for name, offsets in zip(names, hit_offsets, strict=True):
        if offsets is None:
            continue
        offsets, valid = offsets
        lengths = np.diff(offsets)
        wrong = lengths != hits if valid is None else (lengths != hits) & valid
        if np.any(wrong):
            bad = int(np.argmax(wrong))
            raise ValueError(
                f'event {bad}: "{name}" has {lengths[bad]} entries, the prefix sums give '
                f"{hits[bad]} hits"
            )


def _split(flat: list, offsets: list) -> list[list]:
    """``flat`` cut at ``offsets`` into lists (the loop runs in C)."""
    return list(map(flat.__getitem__, map(slice, offsets[:-1], offsets[1:])))


def _mc_tables(table: pa.Table, n: int) -> list[dict]:
    names_column = _column(table, "mc_description")
    name_offsets, name_values, _ = _lists(names_column, "mc_description")
    if name_values.null_count:
        raise ValueError('"mc_description" holds a null')
    all_names = name_values.to_pylist()
    name_bounds = name_offsets.tolist()
    names_of = _split(all_names, name_bounds)
    # Per recognised column: (offsets as numpy and as a list, valid, cells) for the group.
    columns = {}
    for name in MC_TYPES:
        array = _column(table, f"mc_{name}")
        if array is None:
            continue
        offsets, values, valid = _lists(array, f"mc_{name}", nullable=True)
        if name == "hits":
            if values.null_count or values.values.null_count:
                raise ValueError('"mc_hits" holds a null')
            flat = int_list(values.values.to_numpy(zero_copy_only=True))
            cells = _split(flat, values.offsets.to_numpy().tolist())
        else:
            if values.null_count:
                raise ValueError(f'"mc_{name}" holds a null')
            cells = values.to_numpy(zero_copy_only=True).tolist()
        columns[name] = (offsets, offsets.tolist(), valid, cells)

    def lookup(e: int, name: str):
        if name not in columns:
            raise ValueError(f'event {e}: no column "mc_{name}"')
        return columns[name]

    # Usually every event names the same columns: then rows are made for the whole group at
    # once and cut per event.
    first = names_of[0] if n else []
    if n and all(names == first for names in names_of) and first:
        used = [lookup(0, name) for name in first]
        offsets = used[0][0]
        for name, (other, _, valid, _) in zip(first, used, strict=True):
            if valid is not None and not valid.all():
                e = int(np.argmin(valid))
                raise ValueError(f'event {e}: "mc_{name}" is null but "mc_description" names it')
            if not np.array_equal(other, offsets):
                e = int(np.argmax(np.diff(other) != np.diff(offsets)))
                raise ValueError(f'event {e}: "mc_{name}" has a different number of particles')
        rows = list(map(list, zip(*(cells for _, _, _, cells in used), strict=True)))
        return [
            {"description": list(first), "particles": part} for part in _split(rows, used[0][1])
        ]

    return [_mc_table(e, names, columns) for e, names in enumerate(names_of)]


def _mc_table(e: int, names: list, columns: dict) -> dict:
    """Event ``e``'s table, for a group whose events name different columns."""
    parts = []
    rows_count = None
    for name in names:
        if name not in columns:
            raise ValueError(f'event {e}: no column "mc_{name}"')
        _, offsets, valid, cells = columns[name]
        if valid is not None and not valid[e]:
            raise ValueError(f'event {e}: "mc_{name}" is null but "mc_description" names it')
        lo, hi = offsets[e], offsets[e + 1]
        if rows_count is not None and hi - lo != rows_count:
            raise ValueError(f'event {e}: "mc_{name}" has {hi - lo} cells, not {rows_count}')
        rows_count = hi - lo
        parts.append(cells[lo:hi])
    rows = list(map(list, zip(*parts, strict=True))) if parts else []
    return {"description": names, "particles": rows}


def row_group_events(table: pa.Table) -> list[dict]:
    """The events of one row group (a table with the columns of :data:`SCHEMA`) as event
    dictionaries: coordinates and prefix sums as numpy arrays viewing the table's buffers
    (they keep the table alive), the Monte Carlo table as plain lists. Raises ``ValueError``
    saying which event is not well-formed."""
    return _row_group(table, True)[0]


def row_group_columns(table: pa.Table) -> tuple[list[dict], dict[str, Any], int]:
    """The events of one row group with None for their Monte Carlo tables, their columns and
    the number of particles. The columns, numpy views of the table's buffers (no Python object
    per hit or particle), are those that :func:`trelmon_tools._native.events_from_columns` and
    :func:`trelmon_tools._native.validation_terms_columns` read. Raises ``ValueError`` as
    :func:`row_group_events` does."""
    events, coords = _row_group(table, False)
    mc, particles = _mc_arrays(table, table.num_rows)
    columns = _event_columns(events, coords)
    columns.update(mc)
    return events, columns, particles


def _event_columns(events: list[dict], coords: dict[str, Any]) -> dict[str, Any]:
    """What :func:`trelmon_tools._native.events_from_columns` reads, from ``_row_group``."""
    columns: dict[str, Any] = {name: coords[name][:2] for name in ("x", "y", "z")}
    columns["module_prefix_sum"] = coords["module_prefix_sum"]
    columns["description"] = [event["description"] for event in events]
    if coords["t"] is not None:
        offsets, values, valid = coords["t"]
        present = np.ones(len(events), np.uint8) if valid is None else valid.astype(np.uint8)
        columns["t"] = (present, offsets, values)
    return columns


def _mc_arrays(table: pa.Table, n: int) -> tuple[dict[str, tuple], int]:
    """The Monte Carlo columns as ``validation_terms_columns`` takes them, and the number of
    particles; the same checks as the tables of :func:`row_group_events`."""
    name_offsets, name_values, _ = _lists(_column(table, "mc_description"), "mc_description")
    if name_values.null_count:
        raise ValueError('"mc_description" holds a null')
    starts, ends = name_offsets[:-1], name_offsets[1:]
    # Each name as its column's position (pyarrow.compute would do the same, but costs a
    # tenth of a second to import).
    position = {name: i for i, name in enumerate(MC_TYPES)}
    codes = np.array([position.get(name, -1) for name in name_values.to_pylist()], dtype=np.int64)
    known = np.zeros(n, dtype=np.int64)
    out: dict[str, tuple] = {}
    particles = np.zeros(n, dtype=np.int64)
    for code, name in enumerate(MC_TYPES):
        # Per event, how often its description names the column.
        hits = codes == code
        running = np.concatenate(([0], np.cumsum(hits, dtype=np.int64)))
        named = running[ends] - running[starts]
        known = known + named
        array = _column(table, f"mc_{name}")
        if array is None:
            if np.any(named):
                raise ValueError(f'event {int(np.argmax(named))}: no column "mc_{name}"')
            continue
        named = (named > 0).astype(np.uint8)
        if array.null_count:
            null = named.astype(bool) & ~_valid(array)
            if np.any(null):
                e = int(np.argmax(null))
                raise ValueError(f'event {e}: "mc_{name}" is null but "mc_description" names it')
        offsets = array.offsets.to_numpy()
        values = array.values
        if values.null_count:
            raise ValueError(f'"mc_{name}" holds a null')
        particles = np.maximum(particles, np.diff(offsets) * named)
        if name == "hits":
            inner = values.values
            if inner.null_count:
                raise ValueError('"mc_hits" holds a null')
            out["mc_hits"] = (
                named,
                offsets,
                values.offsets.to_numpy(),
                inner.to_numpy(zero_copy_only=True),
            )
        else:
            out[f"mc_{name}"] = (named, offsets, values.to_numpy(zero_copy_only=True))
    unknown = np.flatnonzero(known != ends - starts)
    if len(unknown):
        e = int(unknown[0])
        names = name_values[int(starts[e]) : int(ends[e])].to_pylist()
        name = next(name for name in names if name not in MC_TYPES)
        raise ValueError(f'event {e}: no column "mc_{name}"')
    return out, int(particles.sum())


def _row_group(table: pa.Table, montecarlo: bool) -> tuple[list[dict], dict[str, Any]]:
    n = table.num_rows
    descriptions = _column(table, "description")
    if descriptions is None:
        raise ValueError('missing column "description"')
    if descriptions.null_count:
        raise ValueError('"description" is null')
    descriptions = descriptions.to_pylist()
    prefix_offsets, prefix_values, _ = _lists(
        _column(table, "module_prefix_sum"), "module_prefix_sum", np.int64
    )
    coords: dict[str, Any] = {}
    for name in ("x", "y", "z", "t"):
        array = _column(table, name)
        if array is None:
            coords[name] = None
            continue
        coords[name] = _lists(array, name, np.float64, nullable=name == "t")
    _check_layout(
        prefix_offsets,
        prefix_values,
        [None if coords[k] is None else (coords[k][0], coords[k][2]) for k in "xyzt"],
        "xyzt",
    )
    if montecarlo:
        with no_collection():
            tables = _mc_tables(table, n)

    events = []
    pb = prefix_offsets.tolist()
    bounds: dict[str, Any] = {k: None if v is None else v[0].tolist() for k, v in coords.items()}
    for e in range(n):
        event = {
            "description": descriptions[e],
            "module_prefix_sum": prefix_values[pb[e] : pb[e + 1]],
        }
        # Without tables, None keeps the key the events are built from.
        event["montecarlo"] = tables[e] if montecarlo else None
        for name in ("x", "y", "z", "t"):
            if coords[name] is None:
                continue
            _, values, valid = coords[name]
            if valid is not None and not valid[e]:
                continue
            b = bounds[name]
            event[name] = values[b[e] : b[e + 1]]
        events.append(event)
    coords["module_prefix_sum"] = (prefix_offsets, prefix_values)
    return events, coords


def native_events(table: pa.Table) -> list:
    """``trelmon.DetectorEvent.Event`` objects for the events of one row group, built from its
    buffers on trelmon's worker pool (no per-event Python lists); each keeps its Monte Carlo
    table as ``montecarlo``. Raises ``ValueError`` as :func:`row_group_events` does, and what
    ``Event`` raises for an event it refuses."""
    import trelmon

    from . import _native

    events, coords = _row_group(table, True)
    columns = _event_columns(events, coords)
    columns["montecarlo"] = [event["montecarlo"] for event in events]
    try:
        return _native.events_from_columns(columns)
    except ValueError:
        # Event by event, for the refused event's own exception and message.
        event_class = trelmon.DetectorEvent.Event
        return [event_class(event) for event in events]


def iter_events(path: StrPath) -> Iterator[dict[str, Any]]:
    """Yield the events of the Parquet event file ``path`` in row order, holding one row
    group at a time. Raises :class:`ParquetEventError`, naming the row group, for bad
    content."""
    for index, table in iter_row_groups(path):
        try:
            events = row_group_events(table)
        except ValueError as e:
            raise ParquetEventError(str(e), index) from None
        yield from events


def event_count(path: StrPath) -> int:
    """Number of events (rows) of a Parquet event file, from its footer."""
    return open_event_file(Path(path)).metadata.num_rows
