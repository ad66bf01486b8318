-- The production database "Electrometer" on SQL Server: the tables and columns the
-- configuration program uses. Run once on an empty database, e.g.
--   sqlcmd -S HOST -d Electrometer -i sqlserver.sql
-- Texts are NVARCHAR: computer names, logins and defect codes may be Cyrillic, which a
-- VARCHAR column keeps only under a Cyrillic collation. The program's texts travel as bound
-- parameters, as Unicode through an ODBC driver that takes wide characters (FreeTDS does);
-- a literal typed by hand needs N'...' (scripts/demo-bench --sqlserver writes them so).

CREATE TABLE electrometer (
  electro_id   INT IDENTITY(1,1) PRIMARY KEY,
  number       INT NOT NULL,
  type_id      INT NOT NULL,
  CONSTRAINT electrometer_number UNIQUE (number, type_id)
);

CREATE TABLE computer (
  computer_id  INT IDENTITY(1,1) PRIMARY KEY,
  name         NVARCHAR(64) NOT NULL UNIQUE
);

CREATE TABLE operator (
  person_id    INT IDENTITY(1,1) PRIMARY KEY,
  login        NVARCHAR(64) NOT NULL,
  operating    INT NOT NULL DEFAULT 1
);

CREATE TABLE plant (
  plant_id     INT IDENTITY(1,1) PRIMARY KEY,
  type_id      INT NOT NULL,
  computer_id  INT NOT NULL REFERENCES computer (computer_id)
);

CREATE TABLE operation (
  operation_id   INT IDENTITY(1,1) PRIMARY KEY,
  type_id        INT NOT NULL,
  electro_id     INT NOT NULL REFERENCES electrometer (electro_id),
  plant_id       INT NOT NULL REFERENCES plant (plant_id),
  person_id      INT NOT NULL REFERENCES operator (person_id),
  success        BIT NOT NULL,
  date_operation DATETIME NOT NULL DEFAULT getdate()
);
CREATE INDEX operation_plant ON operation (plant_id, operation_id);
CREATE INDEX operation_meter ON operation (electro_id, operation_id);

CREATE TABLE set_zelta_kn (
  operation_id INT NOT NULL PRIMARY KEY REFERENCES operation (operation_id),
  version      NVARCHAR(16),
  turn_on      INT,
  status       INT,
  address      INT,
  date_time    DATETIME,
  summer       BIT,
  correct      INT,
  pass         INT,
  t_1_1        FLOAT,
  t_1_c        FLOAT,
  t_2_1        FLOAT,
  t_2_c        FLOAT,
  t_3_1        FLOAT,
  t_3_c        FLOAT,
  ddm_a        INT,
  ddm_b        INT,
  ddm_c        INT,
  count_day    INT,
  count_hour   INT,
  ncorrect     INT,
  indicator    INT,
  secperday    FLOAT,
  zone_0       INT,
  zone_1       INT,
  zone_2       INT,
  zone_3       INT,
  zone_4       INT,
  zone_5       INT,
  time_0       DATETIME,
  time_1       DATETIME,
  time_2       DATETIME,
  time_3       DATETIME,
  time_4       DATETIME,
  time_5       DATETIME
);

CREATE TABLE spoilage (
  spoilage_id  INT IDENTITY(1,1) PRIMARY KEY,
  type_id      INT NOT NULL,
  electro_id   INT NOT NULL REFERENCES electrometer (electro_id),
  person_id    INT REFERENCES operator (person_id),
  code         NVARCHAR(64),
  operation_id INT REFERENCES operation (operation_id),
  date_repair  DATETIME
);
CREATE INDEX spoilage_meter ON spoilage (electro_id);
