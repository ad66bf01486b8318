-- The production database "Electrometer" on SQLite: the tables and columns the
-- configuration program uses. Run once on an empty database, e.g.
--   sqlite3 electrometer.db < sqlite.sql
-- Statements end with ";" at the end of a line.
-- Times are ISO texts in local time; operation.success is 0 or 1.

CREATE TABLE electrometer (
  electro_id   INTEGER PRIMARY KEY AUTOINCREMENT,
  number       INTEGER NOT NULL,
  type_id      INTEGER NOT NULL,
  UNIQUE (number, type_id)
);

CREATE TABLE computer (
  computer_id  INTEGER PRIMARY KEY AUTOINCREMENT,
  name         VARCHAR(64) NOT NULL UNIQUE
);

CREATE TABLE operator (
  person_id    INTEGER PRIMARY KEY AUTOINCREMENT,
  login        VARCHAR(64) NOT NULL,
  operating    INTEGER NOT NULL DEFAULT 1
);

CREATE TABLE plant (
  plant_id     INTEGER PRIMARY KEY AUTOINCREMENT,
  type_id      INTEGER NOT NULL,
  computer_id  INTEGER NOT NULL REFERENCES computer (computer_id)
);

CREATE TABLE operation (
  operation_id   INTEGER PRIMARY KEY AUTOINCREMENT,
  type_id        INTEGER NOT NULL,
  electro_id     INTEGER NOT NULL REFERENCES electrometer (electro_id),
  plant_id       INTEGER NOT NULL REFERENCES plant (plant_id),
  person_id      INTEGER NOT NULL REFERENCES operator (person_id),
  success        SMALLINT NOT NULL CHECK (success IN (0, 1)),
  date_operation TEXT NOT NULL DEFAULT (datetime('now','localtime'))
);
CREATE INDEX operation_plant ON operation (plant_id, operation_id);
CREATE INDEX operation_meter ON operation (electro_id, operation_id);

CREATE TABLE set_zelta_kn (
  operation_id INTEGER NOT NULL PRIMARY KEY REFERENCES operation (operation_id),
  version      VARCHAR(16),
  turn_on      INTEGER,
  status       INTEGER,
  address      INTEGER,
  date_time    TEXT,
  summer       BOOLEAN,
  correct      INTEGER,
  pass         INTEGER,
  t_1_1        REAL,
  t_1_c        REAL,
  t_2_1        REAL,
  t_2_c        REAL,
  t_3_1        REAL,
  t_3_c        REAL,
  ddm_a        INTEGER,
  ddm_b        INTEGER,
  ddm_c        INTEGER,
  count_day    INTEGER,
  count_hour   INTEGER,
  ncorrect     INTEGER,
  indicator    INTEGER,
  secperday    REAL,
  zone_0       INTEGER,
  zone_1       INTEGER,
  zone_2       INTEGER,
  zone_3       INTEGER,
  zone_4       INTEGER,
  zone_5       INTEGER,
  time_0       TEXT,
  time_1       TEXT,
  time_2       TEXT,
  time_3       TEXT,
  time_4       TEXT,
  time_5       TEXT
);

CREATE TABLE spoilage (
  spoilage_id  INTEGER PRIMARY KEY AUTOINCREMENT,
  type_id      INTEGER NOT NULL,
  electro_id   INTEGER NOT NULL REFERENCES electrometer (electro_id),
  person_id    INTEGER REFERENCES operator (person_id),
  code         VARCHAR(64),
  operation_id INTEGER REFERENCES operation (operation_id),
  date_repair  TEXT
);
CREATE INDEX spoilage_meter ON spoilage (electro_id);
