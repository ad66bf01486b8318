-- The production database "Electrometer" on PostgreSQL: the tables and columns the
-- configuration program uses. Run once on an empty database, e.g.
--   psql -h HOST -U USER -d electrometer -f postgresql.sql
-- Statements end with ";" at the end of a line.
-- operation.success is a smallint (0 or 1): the program's queries write the literal 0.

CREATE TABLE electrometer (
  electro_id   SERIAL PRIMARY KEY,
  number       INTEGER NOT NULL,
  type_id      INTEGER NOT NULL,
  UNIQUE (number, type_id)
);

CREATE TABLE computer (
  computer_id  SERIAL PRIMARY KEY,
  name         VARCHAR(64) NOT NULL UNIQUE
);

CREATE TABLE operator (
  person_id    SERIAL PRIMARY KEY,
  login        VARCHAR(64) NOT NULL,
  operating    INTEGER NOT NULL DEFAULT 1
);

CREATE TABLE plant (
  plant_id     SERIAL PRIMARY KEY,
  type_id      INTEGER NOT NULL,
  computer_id  INTEGER NOT NULL REFERENCES computer (computer_id)
);

CREATE TABLE operation (
  operation_id   SERIAL PRIMARY KEY,
  type_id        INTEGER NOT NULL,
  electro_id     INTEGER NOT NULL REFERENCES electrometer (electro_id),
  plant_id       INTEGER NOT NULL REFERENCES plant (plant_id),
  person_id      INTEGER NOT NULL REFERENCES operator (person_id),
  success        SMALLINT NOT NULL CHECK (success IN (0, 1)),
  date_operation TIMESTAMP NOT NULL DEFAULT LOCALTIMESTAMP
);
CREATE INDEX operation_plant ON operation (plant_id, operation_id);
CREATE INDEX operation_meter ON operation (electro_id, operation_id);

CREATE TABLE set_zelta_kn (
  operation_id INTEGER NOT NULL PRIMARY KEY REFERENCES operation (operation_id),
  version      VARCHAR(16),
  turn_on      INTEGER,
  status       INTEGER,
  address      INTEGER,
  date_time    TIMESTAMP,
  summer       BOOLEAN,
  correct      INTEGER,
  pass         INTEGER,
  t_1_1        DOUBLE PRECISION,
  t_1_c        DOUBLE PRECISION,
  t_2_1        DOUBLE PRECISION,
  t_2_c        DOUBLE PRECISION,
  t_3_1        DOUBLE PRECISION,
  t_3_c        DOUBLE PRECISION,
  ddm_a        INTEGER,
  ddm_b        INTEGER,
  ddm_c        INTEGER,
  count_day    INTEGER,
  count_hour   INTEGER,
  ncorrect     INTEGER,
  indicator    INTEGER,
  secperday    DOUBLE PRECISION,
  zone_0       INTEGER,
  zone_1       INTEGER,
  zone_2       INTEGER,
  zone_3       INTEGER,
  zone_4       INTEGER,
  zone_5       INTEGER,
  time_0       TIMESTAMP,
  time_1       TIMESTAMP,
  time_2       TIMESTAMP,
  time_3       TIMESTAMP,
  time_4       TIMESTAMP,
  time_5       TIMESTAMP
);

CREATE TABLE spoilage (
  spoilage_id  SERIAL PRIMARY KEY,
  type_id      INTEGER NOT NULL,
  electro_id   INTEGER NOT NULL REFERENCES electrometer (electro_id),
  person_id    INTEGER REFERENCES operator (person_id),
  code         VARCHAR(64),
  operation_id INTEGER REFERENCES operation (operation_id),
  date_repair  TIMESTAMP
);
CREATE INDEX spoilage_meter ON spoilage (electro_id);
